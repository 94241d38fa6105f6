// A third-party STUN client's binding requests on an rtp:// receiver's RTP
// port, as an ICE peer sends them: the receiver takes each one at its STUN
// seam exactly as it came, stays out of raw mode and still delivers the
// text that follows. The client waits for an answer that never comes, so
// each run is stopped by its PID once its request has arrived.
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include "net/rtp/kelDatagramDemux.h"
#include "net/rtp/kelRTPReceiver.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestDatagrams.h"
#include "tests/support/kelTestSTUNReceiver.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr const char* kClient = "turnutils_stunclient";
// Requests in all, from this many clients running at once.
constexpr size_t kRequests = 100;
constexpr size_t kBatch = 10;

TEST(kelIPReceiverSTUNInterop, BindingRequestsFromAStunClientLeaveTheTextStreamAlone)
{
    if (!kelTestProcess::available(kClient))
        GTEST_SKIP() << kClient << " is not installed (scripts/install-deps installs coturn)";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    kelOwned<kelTestSTUNReceiver> rx(kelCreate<kelTestSTUNReceiver>());
    ASSERT_TRUE(rx);
    // The peer that sends text at the end is the transmitter the URI names.
    kelTestPeer peer;
    ASSERT_TRUE(peer.ok());
    rx->setURI(peer.uri());
    ASSERT_TRUE(rx->open());
    const kelString local = rx->portLocal();
    const std::string rxPort(local.begin(), local.end());

    for (size_t sent = 0; sent < kRequests; sent += kBatch) {
        std::vector<std::unique_ptr<kelTestProcess>> clients;
        for (size_t i = 0; i < kBatch; ++i) {
            auto client = std::make_unique<kelTestProcess>();
            const std::string log = dir.path() + "/client" + std::to_string(sent + i) + ".log";
            ASSERT_TRUE(client->start({kClient, "-p", rxPort, "-L", "127.0.0.1", "127.0.0.1"}, log));
            clients.push_back(std::move(client));
        }
        ASSERT_TRUE(kelTestWaitUntil([&] { return rx->stunCount() >= sent + kBatch; }, 20000))
            << rx->stunCount() << " requests arrived; the client said:\n"
            << clients.front()->log();
        for (auto& client : clients)
            client->stop();
    }

    const auto requests = rx->stun();
    std::set<std::vector<uint8_t>> transactions;
    for (const auto& r : requests) {
        ASSERT_TRUE(kelIsSTUNMessage(r.data(), r.size()));
        // Binding request: method 1, class request.
        EXPECT_EQ(r[0], 0x00);
        EXPECT_EQ(r[1], 0x01);
        transactions.emplace(r.begin() + 8, r.begin() + 20);
    }
    // Every client run starts a transaction of its own.
    EXPECT_GE(transactions.size(), kRequests);
    EXPECT_EQ(rx->rec()->brokenCount(), 0);
    EXPECT_FALSE(rx->rec()->isRAW());

    peer.sendTo(static_cast<uint16_t>(std::stoi(rxPort)),
                kelTestRTPTextPacket(1, "still here", 0x0BADCAFE, true));
    ASSERT_TRUE(kelTestWaitUntil([&] { return !rx->texts().empty(); }, 10000));
    EXPECT_EQ(rx->texts(), std::vector<kelString>{u"still here"});
    EXPECT_FALSE(rx->rec()->isRAW());
    rx->close();
}

} // namespace
