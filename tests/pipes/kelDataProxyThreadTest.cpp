// The data proxy and the dump files.

#include "kelPipeHarness.h"

#include "core/kelFileUtils.h"
#include "core/kelTick.h"
#include "core/kelUtf.h"
#include "platform/kelPlatformThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

std::string blockText(const kelTestBlock& block)
{
    return std::string(block.bytes.begin(), block.bytes.end());
}

TEST(kelDataProxyThreadTest, ProxyHandsBlocksOnInOrderOnItsOwnThread)
{
    auto provider = kelMakeOwned<kelTestPipe>("P");
    auto consumer = kelMakeOwned<kelTestPipe>("C");
    consumer->setEnableDataProxy(true);
    ASSERT_TRUE(provider->addConsumer(consumer.get()));
    ASSERT_TRUE(provider->open());

    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(provider->produce("block " + std::to_string(i)));
    ASSERT_TRUE(consumer->waitForBlocks(40, 10000));
    const auto blocks = consumer->blocks();
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(blockText(blocks[i]), "block " + std::to_string(i));
        EXPECT_EQ(blocks[i].provider, provider.get());
        EXPECT_NE(blocks[i].threadId, kelCurrentThreadId());
    }
    EXPECT_EQ(consumer->dataProxyThread()->getThreadId(), blocks[0].threadId);
}

TEST(kelDataProxyThreadTest, AtMostSixtyThreeBlocksWaitAndQueuedBytesCount)
{
    auto consumer = kelMakeOwned<kelTestPipe>("C");
    consumer->setEnableDataProxy(true);
    kelEvent gate(true, false), entered(true, false);
    consumer->setWriteGate(&gate, &entered);

    // The first block is taken and held in doWrite; 63 more fit.
    ASSERT_EQ(consumer->write("held"), 4u);
    ASSERT_TRUE(entered.waitFor(10000));
    for (int i = 0; i < 63; ++i)
        ASSERT_EQ(consumer->write("q" + std::to_string(i)), i < 10 ? 2u : 3u);
    EXPECT_EQ(consumer->dataProxyThread()->queued(), 63u);
    EXPECT_EQ(consumer->write("refused"), 0u);
    const int64_t queuedBytes = 4 + 10 * 2 + 53 * 3;
    EXPECT_EQ(consumer->inBytes(), queuedBytes);

    gate.setState(true);
    ASSERT_TRUE(consumer->waitForBlocks(64, 10000));
    const auto blocks = consumer->blocks();
    EXPECT_EQ(blockText(blocks[0]), "held");
    EXPECT_EQ(blockText(blocks[63]), "q62");
    // The ring is free again.
    EXPECT_EQ(consumer->write("again"), 5u);
    ASSERT_TRUE(consumer->waitForBlocks(65, 10000));
}

TEST(kelDataProxyThreadTest, ClosingWhileTheProviderWritesStopsTheProxyPromptly)
{
    auto provider = kelMakeOwned<kelTestPipe>("P");
    auto consumer = kelMakeOwned<kelTestPipe>("C");
    consumer->setEnableDataProxy(true);
    consumer->setRecordBlocks(false);
    ASSERT_TRUE(provider->addConsumer(consumer.get()));
    ASSERT_TRUE(provider->open());
    std::atomic<bool> stop{false};
    auto produce = [&] {
        uint8_t block[16] = {};
        while (!stop.load())
            (void)provider->produce(block, sizeof block);
    };
    std::thread producer1(produce), producer2(produce);
    for (int round = 0; round < 20; ++round) {
        // Half of the rounds close while the first write is starting the proxy.
        if (round % 2) {
            ASSERT_TRUE(consumer->waitForBlocks(consumer->blockCount() + 1, 10000));
        }
        const uint64_t mark = tickNow();
        consumer->close();
        // A write racing the close must not restart the proxy under it
        // (which would hold the close for the whole stop timeout).
        // (A block already on its way may start it again afterwards.)
        EXPECT_LT(ticksSince(mark), 2500u);
        ASSERT_TRUE(consumer->open());
    }
    stop = true;
    producer1.join();
    producer2.join();
}

// --- Dump files ---------------------------------------------------------------

class kelPipeDumpTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir = std::filesystem::temp_directory_path() /
              ("kel_pipes_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    kelString name(const char* file) const { return utf8ToUtf16((dir / file).string()); }
    std::string contents(const char* file) const
    {
        std::ifstream in(dir / file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool exists(const char* file) const { return std::filesystem::exists(dir / file); }

    std::filesystem::path dir;
};

TEST_F(kelPipeDumpTest, InputDumpAppendsEveryBlockWhileOpen)
{
    {
        std::ofstream(dir / "old.bin", std::ios::binary) << "old|";
    }
    auto pipe = kelMakeOwned<kelTestPipe>();
    pipe->setDumpInput(u"  " + name("old.bin") + u" ");
    EXPECT_EQ(pipe->write("before"), 6u);
    ASSERT_TRUE(pipe->open());
    EXPECT_EQ(pipe->write("ab"), 2u);
    EXPECT_EQ(pipe->write("cd"), 2u);
    EXPECT_EQ(contents("old.bin"), "old|abcd");

    auto fresh = kelMakeOwned<kelTestPipe>();
    fresh->setDumpInput(name("new.bin"));
    fresh->setDumpOutput(name("out.bin"));
    ASSERT_TRUE(fresh->open());
    EXPECT_TRUE(exists("new.bin"));
    EXPECT_TRUE(fresh->produce("xyz"));
    EXPECT_EQ(contents("out.bin"), "xyz");
    EXPECT_EQ(contents("new.bin"), "");
}

TEST_F(kelPipeDumpTest, ProxyDumpsWhatItHandsOnAndEmptyNamesDumpNothing)
{
    auto pipe = kelMakeOwned<kelTestPipe>();
    pipe->setEnableDataProxy(true);
    pipe->setDumpInput(name("proxy.bin"));
    ASSERT_TRUE(pipe->open());
    for (const char* block : {"1", "22", "333"})
        ASSERT_GT(pipe->write(block), 0u);
    ASSERT_TRUE(pipe->waitForBlocks(3, 10000));
    pipe->close();
    EXPECT_EQ(contents("proxy.bin"), "122333");

    auto quiet = kelMakeOwned<kelTestPipe>();
    quiet->setDumpInput(u"   ");
    ASSERT_TRUE(quiet->open());
    EXPECT_EQ(quiet->write("nothing"), 7u);
    const auto files =
        std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator());
    EXPECT_EQ(files, 1);
}

} // namespace
