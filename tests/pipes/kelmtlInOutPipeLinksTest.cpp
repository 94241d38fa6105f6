// Linking, unlinking at destruction, the component model, and linking while
// data flows.

#include "kelPipeHarness.h"

#include "platform/kelPlatformThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(kelmtlInOutPipeLinksTest, LinksAreMutualSortedAndNotDuplicated)
{
    auto provider = kelMakeOwned<kelTestPipe>("P");
    auto first = kelMakeOwned<kelTestPipe>("1");
    auto second = kelMakeOwned<kelTestPipe>("2");
    ASSERT_TRUE(provider->addConsumer(first.get()));
    ASSERT_TRUE(second->addProvider(provider.get()));
    ASSERT_TRUE(provider->addConsumer(first.get()));
    EXPECT_FALSE(provider->addConsumer(nullptr));
    EXPECT_FALSE(provider->addProvider(nullptr));

    ASSERT_EQ(provider->consumerCount(), 2);
    EXPECT_LT(provider->getConsumer(0), provider->getConsumer(1));
    EXPECT_EQ(provider->getConsumer(2), nullptr);
    EXPECT_EQ(first->providerOneAndOnly(), provider.get());
    EXPECT_EQ(second->getProviderIndex(provider.get()), 0);
    EXPECT_EQ(provider->getConsumerIndex(provider.get()), -1);

    second->removeProvider(provider.get());
    EXPECT_EQ(provider->getConsumerIndex(second.get()), -1);
    provider->removeConsumer(first.get());
    EXPECT_EQ(provider->consumerCount(), 0);
    EXPECT_EQ(first->providerCount(), 0);
    EXPECT_EQ(second->providerCount(), 0);
}

TEST(kelmtlInOutPipeLinksTest, ALinkTheOtherSideCannotFollowStaysWhole)
{
    auto provider = kelMakeOwned<kelTestPipe>("P");
    auto consumer = kelMakeOwned<kelTestPipe>("C");
    consumer->refuseProviderChanges(1);
    EXPECT_FALSE(provider->addConsumer(consumer.get()));
    EXPECT_EQ(provider->consumerCount(), 0);

    ASSERT_TRUE(provider->addConsumer(consumer.get()));
    consumer->refuseProviderChanges(1);
    provider->removeConsumer(consumer.get());
    // Still linked both ways, so freeing either side unlinks the other.
    EXPECT_EQ(provider->getConsumerIndex(consumer.get()), 0);
    EXPECT_EQ(consumer->getProviderIndex(provider.get()), 0);
    consumer.reset();
    EXPECT_EQ(provider->consumerCount(), 0);
}

TEST(kelmtlInOutPipeLinksTest, SettingConsumerReplacesTheFirstOne)
{
    auto provider = kelMakeOwned<kelTestPipe>("P");
    auto a = kelMakeOwned<kelTestPipe>("A");
    auto b = kelMakeOwned<kelTestPipe>("B");
    provider->setConsumer(a.get());
    EXPECT_EQ(provider->consumer(), a.get());
    provider->setConsumer(b.get());
    EXPECT_EQ(provider->consumer(), b.get());
    EXPECT_EQ(provider->consumerCount(), 1);
    EXPECT_EQ(a->providerCount(), 0);
    provider->setConsumer(nullptr);
    EXPECT_EQ(provider->consumerCount(), 0);
    EXPECT_EQ(b->providerCount(), 0);
}

TEST(kelmtlInOutPipeLinksTest, AConsumerSlowToOpenDoesNotHoldUpTheOthers)
{
    auto provider = kelMakeOwned<kelTestPipe>("P");
    auto running = kelMakeOwned<kelTestPipe>("R");
    auto slow = kelMakeOwned<kelTestPipe>("S");
    ASSERT_TRUE(provider->addConsumer(running.get()));
    ASSERT_TRUE(provider->open());
    kelEvent gate(true, false), entered(true, false);
    slow->setOpenGate(&gate, &entered);
    std::thread linker([&] { (void)provider->addConsumer(slow.get()); });
    ASSERT_TRUE(entered.waitFor(10000));
    EXPECT_TRUE(provider->produce("while linking"));
    EXPECT_EQ(running->blockCount(), 1u);
    gate.setState(true);
    linker.join();
    EXPECT_TRUE(slow->active());
}

TEST(kelmtlInOutPipeLinksTest, FreeingAPipeLeavesNoLinkToIt)
{
    auto p1 = kelMakeOwned<kelTestPipe>("P1");
    auto p2 = kelMakeOwned<kelTestPipe>("P2");
    auto c1 = kelMakeOwned<kelTestPipe>("C1");
    auto c2 = kelMakeOwned<kelTestPipe>("C2");
    auto middle = kelMakeOwned<kelTestPipe>("M");
    for (kelTestPipe* p : {p1.get(), p2.get()})
        ASSERT_TRUE(p->addConsumer(middle.get()));
    for (kelTestPipe* c : {c1.get(), c2.get()})
        ASSERT_TRUE(middle->addConsumer(c));
    ASSERT_TRUE(p1->open());
    ASSERT_TRUE(middle->active());

    middle.reset();
    for (kelTestPipe* p : {p1.get(), p2.get()})
        EXPECT_EQ(p->consumerCount(), 0);
    for (kelTestPipe* c : {c1.get(), c2.get()})
        EXPECT_EQ(c->providerCount(), 0);
    // The provider still delivers (to nobody) and nothing refers to the
    // freed pipe.
    EXPECT_TRUE(p1->produce("after"));
    // Freeing closed it first, and so its consumers.
    EXPECT_FALSE(c1->active());
}

TEST(kelmtlInOutPipeLinksTest, OwnerFreesItsComponentsAndTellsTheOthers)
{
    kelPipeJournal journal;
    auto* root = kelCreate<kelComponent>();
    ASSERT_NE(root, nullptr);
    auto* a = kelCreate<kelTestPipe>("A", &journal, root);
    auto* b = kelCreate<kelTestPipe>("B", &journal, root);
    ASSERT_EQ(root->componentCount(), 2u);
    ASSERT_TRUE(a->addConsumer(b));
    ASSERT_TRUE(a->open());

    kelFree(b);
    EXPECT_EQ(root->componentCount(), 1u);
    EXPECT_EQ(a->consumerCount(), 0);

    // The notification alone drops the links on the told side only.
    auto* c = kelCreate<kelTestPipe>("C", nullptr, root);
    ASSERT_TRUE(a->addConsumer(c));
    a->notifyRemoved(c);
    EXPECT_EQ(a->consumerCount(), 0);
    EXPECT_EQ(c->providerCount(), 1);
    c->removeProvider(a);
    kelFree(root);
    EXPECT_EQ(journal.entries(), (std::vector<std::string>{"B:open", "A:open", "B:close", "A:close"}));
}

// Producers deliver on their own threads while the window thread links,
// unlinks, opens, closes and frees consumers. Run under TSan this shows the
// link lists and counters are shared safely; under ASan that no delivery
// touches a freed consumer.
TEST(kelmtlInOutPipeLinksTest, LinkingWhileDataFlowsIsSafe)
{
    auto producer = kelMakeOwned<kelTestPipe>("P");
    auto steady = kelMakeOwned<kelTestPipe>("S");
    steady->setRecordBlocks(false);
    ASSERT_TRUE(producer->addConsumer(steady.get()));
    ASSERT_TRUE(producer->open());

    std::atomic<bool> stop{false};
    std::atomic<int> produced{0};
    std::vector<std::thread> producers;
    for (int t = 0; t < 2; ++t) {
        producers.emplace_back([&] {
            uint8_t block[32] = {};
            // Paced like a packet source: a producer that never pauses starves
            // the writers of the link lists.
            while (!stop.load()) {
                if (producer->produce(block, sizeof block)) ++produced;
                kelSleepMs(1);
            }
        });
    }
    for (int round = 0; round < 60; ++round) {
        auto direct = kelMakeOwned<kelTestPipe>("D");
        auto proxied = kelMakeOwned<kelTestPipe>("X");
        direct->setRecordBlocks(false);
        proxied->setRecordBlocks(false);
        proxied->setEnableDataProxy(true);
        ASSERT_TRUE(producer->addConsumer(direct.get()));
        ASSERT_TRUE(proxied->addProvider(producer.get()));
        (void)direct->waitForBlocks(1, 1000);
        if (round % 3 == 0) producer->removeConsumer(direct.get());
        if (round % 4 == 0) proxied->close();
        // Freed while linked and while blocks may be on their way.
    }
    stop = true;
    for (std::thread& t : producers)
        t.join();

    EXPECT_EQ(producer->consumerCount(), 1);
    EXPECT_EQ(static_cast<int64_t>(steady->blockCount()) * 32, steady->inBytes());
    EXPECT_EQ(producer->outBytes(), int64_t{produced.load()} * 32);
    EXPECT_GT(produced.load(), 0);
}

} // namespace
