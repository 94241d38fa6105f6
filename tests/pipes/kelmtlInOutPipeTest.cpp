// Data delivery, activation and format propagation of kelmtlInOutPipe.

#include "kelPipeHarness.h"

#include "core/kelCrc.h"
#include "core/kelTick.h"
#include "platform/kelPlatformThread.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

std::string text(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// --- Data ---------------------------------------------------------------------

TEST(kelmtlInOutPipeTest, DeliversOnlyToActiveConsumersAndCountsBytesOnce)
{
    auto producer = kelMakeOwned<kelTestPipe>("P");
    auto on = kelMakeOwned<kelTestPipe>("on");
    auto off = kelMakeOwned<kelTestPipe>("off");
    producer->setAutoActivate(false);
    ASSERT_TRUE(producer->addConsumer(on.get()));
    ASSERT_TRUE(producer->addConsumer(off.get()));
    ASSERT_TRUE(producer->open());
    ASSERT_TRUE(on->open());

    EXPECT_TRUE(producer->produce("12345"));
    ASSERT_EQ(on->blockCount(), 1u);
    EXPECT_EQ(text(on->blocks()[0].bytes), "12345");
    EXPECT_EQ(on->blocks()[0].provider, producer.get());
    EXPECT_EQ(off->blockCount(), 0u);
    EXPECT_EQ(producer->outBytes(), 5);
    EXPECT_EQ(on->inBytes(), 5);
    EXPECT_EQ(off->inBytes(), 0);
}

TEST(kelmtlInOutPipeTest, DspRunsBeforeDeliveryAndDataAvailableAfter)
{
    auto producer = kelMakeOwned<kelTestPipe>("P");
    auto consumer = kelMakeOwned<kelTestPipe>("C");
    ASSERT_TRUE(producer->addConsumer(consumer.get()));
    ASSERT_TRUE(producer->open());
    producer->setOnDataDSP([&](kelmtlInOutPipe* sender, void* data, uint32_t len) {
        EXPECT_EQ(sender, producer.get());
        EXPECT_EQ(consumer->blockCount(), 0u);
        static_cast<char*>(data)[0] = 'D';
        EXPECT_EQ(len, 3u);
    });
    size_t seenAtAvailable = 0;
    producer->setOnDataAvailable(
        [&](kelmtlInOutPipe*, void*, uint32_t) { seenAtAvailable = consumer->blockCount(); });
    EXPECT_TRUE(producer->produce("abc"));
    ASSERT_EQ(consumer->blockCount(), 1u);
    EXPECT_EQ(text(consumer->blocks()[0].bytes), "Dbc");
    EXPECT_EQ(seenAtAvailable, 1u);
}

TEST(kelmtlInOutPipeTest, EmptyBlocksAreRefusedAndFailuresContained)
{
    auto producer = kelMakeOwned<kelTestPipe>("P");
    auto consumer = kelMakeOwned<kelTestPipe>("C");
    ASSERT_TRUE(producer->addConsumer(consumer.get()));
    ASSERT_TRUE(producer->open());
    char byte = 'x';
    EXPECT_EQ(consumer->write(nullptr, 4), 0u);
    EXPECT_EQ(consumer->write(&byte, 0), 0u);
    EXPECT_FALSE(producer->produce(nullptr, 3));
    EXPECT_FALSE(producer->produce(&byte, 0));
    EXPECT_EQ(producer->outBytes(), 0);
    EXPECT_EQ(consumer->blockCount(), 0u);
    consumer->setThrowOnWrite(true);
    producer->setOnDataDSP([](kelmtlInOutPipe*, void*, uint32_t) { throw 1; });
    EXPECT_TRUE(producer->produce("abc"));
    EXPECT_EQ(consumer->inBytes(), 0);
    EXPECT_EQ(producer->outBytes(), 3);
    EXPECT_EQ(consumer->write("abc"), 0u);

    auto broken = kelMakeOwned<kelTestPipe>("B");
    broken->setThrowOnOpen(true);
    EXPECT_FALSE(broken->open());
    EXPECT_FALSE(broken->active());
}

// --- Activation -------------------------------------------------------------

TEST(kelmtlInOutPipeTest, ConsumersOpenBeforeAndCloseAfterTheirProvider)
{
    kelPipeJournal journal;
    auto a = kelMakeOwned<kelTestPipe>("A", &journal);
    auto b = kelMakeOwned<kelTestPipe>("B", &journal);
    auto c = kelMakeOwned<kelTestPipe>("C", &journal);
    ASSERT_TRUE(a->addConsumer(b.get()));
    ASSERT_TRUE(b->addConsumer(c.get()));

    EXPECT_TRUE(a->open());
    EXPECT_EQ(journal.entries(), (Strings{"C:open", "B:open", "A:open"}));
    journal.clear();
    a->close();
    EXPECT_EQ(journal.entries(), (Strings{"A:close", "B:close", "C:close"}));

    // Opening an open provider again reopens consumers closed meanwhile.
    ASSERT_TRUE(a->open());
    c->close();
    journal.clear();
    EXPECT_TRUE(a->open());
    EXPECT_EQ(journal.entries(), (Strings{"C:open"}));
}

TEST(kelmtlInOutPipeTest, ConsumersThatDoNotFollowKeepTheirState)
{
    auto a = kelMakeOwned<kelTestPipe>("A");
    auto follower = kelMakeOwned<kelTestPipe>("F");
    auto loner = kelMakeOwned<kelTestPipe>("L");
    loner->setIgnoreProviderOptions(kelIpoNoActivation);
    ASSERT_TRUE(a->addConsumer(follower.get()));
    ASSERT_TRUE(a->addConsumer(loner.get()));

    ASSERT_TRUE(a->open());
    EXPECT_TRUE(follower->active());
    EXPECT_FALSE(loner->active());
    ASSERT_TRUE(loner->open());
    a->close();
    EXPECT_FALSE(follower->active());
    EXPECT_TRUE(loner->active());

    // Without autoActivate the provider opens and closes alone.
    a->setAutoActivate(false);
    ASSERT_TRUE(a->open());
    EXPECT_FALSE(follower->active());
    ASSERT_TRUE(follower->open());
    a->close();
    EXPECT_TRUE(follower->active());
}

TEST(kelmtlInOutPipeTest, CloseWithZeroTimeoutWaitsForARunningOpen)
{
    auto pipe = kelMakeOwned<kelTestPipe>("P");
    auto consumer = kelMakeOwned<kelTestPipe>("C");
    ASSERT_TRUE(pipe->addConsumer(consumer.get()));
    ASSERT_TRUE(pipe->open());
    consumer->close();
    // Opening the open pipe again reopens the consumer, whose open is held;
    // meanwhile the pipe's activation is taken.
    kelEvent gate(true, false), entered(true, false);
    consumer->setOpenGate(&gate, &entered);
    std::thread opener([&] { (void)pipe->open(); });
    ASSERT_TRUE(entered.waitFor(10000));
    std::thread releaser([&] {
        kelSleepMs(300);
        gate.setState(true);
    });
    // A zero timeout means the default 3000 ms, not "give up at once".
    const uint64_t mark = tickNow();
    pipe->close(0, nullptr);
    const uint64_t waited = ticksSince(mark);
    releaser.join();
    opener.join();
    EXPECT_FALSE(pipe->active());
    EXPECT_FALSE(consumer->active());
    EXPECT_EQ(pipe->closes(), 1);
    EXPECT_GE(waited, 250u);
}

TEST(kelmtlInOutPipeTest, ActivationWhileLoadingWaitsForLoadingToFinish)
{
    auto pipe = kelMakeOwned<kelTestPipe>();
    pipe->beginLoading();
    pipe->setActive(true);
    EXPECT_TRUE(pipe->active());
    EXPECT_EQ(pipe->opens(), 0);
    pipe->endLoading();
    EXPECT_EQ(pipe->opens(), 1);
    EXPECT_TRUE(pipe->active());

    auto designed = kelMakeOwned<kelTestPipe>();
    designed->setDesigning(true);
    designed->setActive(true);
    EXPECT_TRUE(designed->active());
    EXPECT_EQ(designed->opens(), 0);
}

TEST(kelmtlInOutPipeTest, NewConsumerFollowsItsProvidersState)
{
    auto a = kelMakeOwned<kelTestPipe>("A");
    auto b = kelMakeOwned<kelTestPipe>("B");
    ASSERT_TRUE(a->open());
    ASSERT_TRUE(a->addConsumer(b.get()));
    EXPECT_TRUE(b->active());

    auto idle = kelMakeOwned<kelTestPipe>("I");
    auto open = kelMakeOwned<kelTestPipe>("O");
    ASSERT_TRUE(open->open());
    ASSERT_TRUE(idle->addConsumer(open.get()));
    EXPECT_FALSE(open->active());
}

// --- Format -------------------------------------------------------------------

class kelPipeFormatTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        provider = kelMakeOwned<kelTestPipe>("P");
        consumer = kelMakeOwned<kelTestPipe>("C");
        provider->setIsFormatProvider(true);
        provider->setFormat(format);
    }

    std::vector<uint8_t> format{1, 0, 0, 0, 0x40, 0x1F, 0, 0, 16, 0, 0, 0, 2, 0, 0, 0};
    kelOwned<kelTestPipe> provider;
    kelOwned<kelTestPipe> consumer;
};

TEST_F(kelPipeFormatTest, FormatIsSentOnceUntilClearedOrForced)
{
    ASSERT_TRUE(provider->addConsumer(consumer.get(), false));
    EXPECT_EQ(consumer->formatsApplied(), 1);
    EXPECT_EQ(consumer->lastFormat(), format);
    EXPECT_EQ(consumer->lastFormatProvider(), provider.get());
    EXPECT_EQ(provider->formatCRC(), libCrc32(format.data(), format.size(), 0xFFFFFFFFu));

    EXPECT_TRUE(provider->checkFormatChange(false));
    EXPECT_TRUE(provider->addConsumer(consumer.get(), false));
    EXPECT_EQ(consumer->formatsApplied(), 1);

    provider->clearFormatCRC();
    EXPECT_TRUE(provider->checkFormatChange(false));
    EXPECT_EQ(consumer->formatsApplied(), 2);
    EXPECT_TRUE(provider->addConsumer(consumer.get(), true));
    EXPECT_EQ(consumer->formatsApplied(), 3);

    format[4] = 0x80;
    provider->setFormat(format);
    EXPECT_TRUE(provider->checkFormatChange(false));
    EXPECT_EQ(consumer->formatsApplied(), 4);
    EXPECT_EQ(consumer->lastFormat(), format);
}

TEST_F(kelPipeFormatTest, RefusalSuppressesTheAfterEventAndFailsTheSend)
{
    auto other = kelMakeOwned<kelTestPipe>("O");
    ASSERT_TRUE(provider->addConsumer(consumer.get()));
    ASSERT_TRUE(provider->addConsumer(other.get()));
    int afters = 0;
    consumer->setOnFormatChangeBefore(
        [](kelmtlInOutPipe*, kelmtlInOutPipe*, const void*, uint32_t, bool& allow) { allow = false; });
    consumer->setOnFormatChangeAfter(
        [&](kelmtlInOutPipe*, kelmtlInOutPipe*, const void*, uint32_t) { ++afters; });
    other->setOnFormatChangeAfter(
        [&](kelmtlInOutPipe*, kelmtlInOutPipe*, const void*, uint32_t) { ++afters; });

    EXPECT_FALSE(provider->sendFormatToConsumers(format.data(), 16, false, provider.get()));
    // The refusing consumer raised no after-event; the other still took it.
    EXPECT_EQ(afters, 1);
    consumer->setOnFormatChangeBefore(nullptr);
    EXPECT_TRUE(provider->sendFormatToConsumers(format.data(), 16, false, provider.get()));
    EXPECT_EQ(afters, 3);
}

TEST_F(kelPipeFormatTest, ConsumersThatIgnoreFormatsAndDesigningProvidersSendNothing)
{
    consumer->setIgnoreProviderOptions(kelIpoNoFormat);
    ASSERT_TRUE(provider->addConsumer(consumer.get()));
    EXPECT_EQ(consumer->formatsApplied(), 0);

    consumer->setIgnoreProviderOptions(0);
    provider->setDesigning(true);
    EXPECT_TRUE(provider->sendFormatToConsumers(format.data(), 16, false, provider.get()));
    EXPECT_EQ(consumer->formatsApplied(), 0);

    auto lonely = kelMakeOwned<kelTestPipe>("L");
    lonely->setIsFormatProvider(true);
    EXPECT_FALSE(lonely->sendFormatToConsumers(format.data(), 16, false, lonely.get()));
}

TEST_F(kelPipeFormatTest, FormatTravelsOnlyThroughFormatProviders)
{
    auto last = kelMakeOwned<kelTestPipe>("L");
    ASSERT_TRUE(consumer->addConsumer(last.get()));
    ASSERT_TRUE(provider->addConsumer(consumer.get()));
    EXPECT_EQ(consumer->formatsApplied(), 1);
    EXPECT_EQ(last->formatsApplied(), 0);

    consumer->setIsFormatProvider(true);
    provider->clearFormatCRC();
    EXPECT_TRUE(provider->checkFormatChange(false));
    // Passed on with the original provider named.
    EXPECT_EQ(last->formatsApplied(), 1);
    EXPECT_EQ(last->lastFormatProvider(), provider.get());
}

} // namespace
