// Real-time text stamped in milliseconds (RFC 4103 peers) and in UTF-16
// code units (our transmitter) reads the same: redundancy recovers lost
// packets by sequence number whichever unit the timestamps count in.

#include "streaming/kelT140Receive.h"
#include "tests/support/kelTestRTPPackets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(kelT140Clock, MillisecondAndCodeUnitStampedStreamsArriveWhole)
{
    const std::vector<std::string> texts = {"He", "l", "lo", " wor", "ld!"};
    struct Clock
    {
        const char* name;
        std::vector<uint32_t> stamps;
    };
    const std::vector<Clock> clocks = {
        {"milliseconds", {1000, 1300, 1600, 1900, 2200}},
        // Each packet's stamp moved on by the code units before it.
        {"code units", {1000, 1002, 1003, 1005, 1009}},
        // The unit clock of a long session, across the 32-bit wrap.
        {"code units across the wrap", {0xFFFFFFFDu, 0xFFFFFFFFu, 0, 2, 6}},
    };
    for (const Clock& c : clocks) {
        SCOPED_TRACE(c.name);
        // Packets 2 and 3 are lost; packet 4 carries them as generations.
        for (const std::vector<size_t>& arriving : {std::vector<size_t>{0, 1, 2, 3, 4}, {0, 3, 4}}) {
            kelT140Receive rx;
            std::string shown;
            for (size_t i : arriving) {
                std::vector<kelTestRedBlock> older;
                for (size_t back = 2; back >= 1; --back)
                    if (i >= back)
                        older.push_back({98, uint16_t(c.stamps[i] - c.stamps[i - back]), texts[i - back]});
                    else
                        older.push_back({98, 0, ""});
                const std::vector<uint8_t> payload = kelTestRedPayload(older, 98, texts[i]);
                ASSERT_TRUE(rx.receiveRedundant(7, uint16_t(100 + i), c.stamps[i], payload.data(),
                                                payload.size(), 98, shown));
            }
            EXPECT_EQ(shown, "Hello world!");
        }
    }
}
