// Open and close of the IP receiver from two threads at once: the last call
// decides, so a close that meets an open in progress closes the receiver
// once the open is done, and nothing of it keeps running.

#include "core/kelThread.h"
#include "net/rtp/kelRTPReceiver.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// A receiver whose open holds still, once it has begun, until a close was
// asked for from another thread and has had a moment to return (which it
// must not do before the open is over).
class kelSlowOpenReceiver : public TkelIPReceiver
{
public:
    std::atomic<bool> inOpen{false};
    std::atomic<bool> closeAsked{false};
    std::atomic<bool> closeReturned{false};

    kelThread* idle() const { return idleThread(); }

protected:
    bool doOpen() override
    {
        inOpen.store(true);
        (void)kelTestWaitUntil([this] { return closeAsked.load(); });
        (void)kelTestWaitUntil([this] { return closeReturned.load(); }, 100);
        return TkelIPReceiver::doOpen();
    }
};

bool stopped(kelThread* thread)
{
    return thread == nullptr || thread->status() == keltsStopped;
}

} // namespace

TEST(kelIPReceiverOpenCloseTest, CloseDuringAnOpenClosesOnceTheOpenIsDone)
{
    kelOwned<kelSlowOpenReceiver> rx(kelCreate<kelSlowOpenReceiver>());
    ASSERT_TRUE(rx);
    rx->setURI(kelTestURI(kelTestFreeRTPPort()));
    for (int round = 0; round < 20; ++round) {
        rx->inOpen.store(false);
        rx->closeAsked.store(false);
        rx->closeReturned.store(false);
        std::thread opener([&] { (void)rx->open(); });
        std::thread closer([&] {
            if (!kelTestWaitUntil([&] { return rx->inOpen.load(); })) return;
            rx->closeAsked.store(true);
            rx->close();
            rx->closeReturned.store(true);
        });
        opener.join();
        closer.join();
        ASSERT_TRUE(rx->closeReturned.load()) << "round " << round << ": the open never began";
        EXPECT_FALSE(rx->active()) << "round " << round << ": left open after the close returned";
        EXPECT_TRUE(stopped(rx->rec())) << "round " << round << ": the RTP thread still runs";
        EXPECT_TRUE(stopped(rx->idle())) << "round " << round << ": the idle thread still ticks";
        if (rx->active()) rx->close();
    }
}
