// A receiver gives back every descriptor and thread it took, whichever
// thread closes it: after many open/close cycles and after a close from
// inside its own onText, the process holds what it held before.

#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestIPHarness.h"
#include "tests/support/kelTestResources.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace {

std::string names(const kelTestResources& r)
{
    std::string out;
    for (const std::string& n : r.descriptorNames)
        out += n + " ";
    return out;
}

// Threads that end are reaped a little after they said so: wait, bounded.
// Threads of earlier tests in this process may still be ending while these
// run, so fewer threads than before is no fault; more is one.
bool settlesAt(const kelTestResources& before, kelTestResources& after)
{
    return kelTestWaitUntil([&] {
        after = kelTestResourcesNow();
        return after.descriptors == before.descriptors && after.threads <= before.threads;
    });
}

} // namespace

TEST(kelIPReceiverResourcesTest, OpenCloseCyclesLeaveNoDescriptorOrThread)
{
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    ASSERT_TRUE(rx);
    rx->setURI(kelTestURI(kelTestFreeRTPPort()));
    const kelTestResources before = kelTestResourcesNow();
    for (int i = 0; i < 500; ++i) {
        ASSERT_TRUE(rx->open()) << "cycle " << i;
        rx->close();
    }
    kelTestResources after;
    EXPECT_TRUE(settlesAt(before, after))
        << "descriptors " << before.descriptors << " -> " << after.descriptors << ", threads "
        << before.threads << " -> " << after.threads << "\nbefore: " << names(before)
        << "\nafter:  " << names(after);
}

TEST(kelIPReceiverResourcesTest, CloseFromInsideOnTextLeavesNoDescriptorOrThread)
{
    kelTestIPHarness h;
    ASSERT_TRUE(h.ok());
    TkelIPReceiver& rx = h.rx();
    // One local port for every open, so the destination the transmitter
    // learnt stays the receiver's.
    const std::string port = std::to_string(kelTestFreeRTPPort());
    rx.setBind2port(kelString(port.begin(), port.end()));
    const kelTestResources before = kelTestResourcesNow();
    ASSERT_TRUE(h.tx().open());
    std::atomic<int> texts{0};
    rx.setOnText([&](kelmtlInOutPipe*, const char16_t*) {
        ++texts;
        rx.close();
    });
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(rx.open()) << "round " << round;
        ASSERT_TRUE(h.advanceUntilTransmitterKnowsReceiver()) << "round " << round;
        ASSERT_EQ(h.tx().sendText(u"a"), kelS_OK);
        ASSERT_TRUE(kelTestWaitUntil([&] { return texts.load() == round + 1 && !rx.active(); }))
            << "round " << round;
    }
    h.tx().close();
    kelTestResources after;
    EXPECT_TRUE(settlesAt(before, after))
        << "descriptors " << before.descriptors << " -> " << after.descriptors << ", threads "
        << before.threads << " -> " << after.threads << "\nbefore: " << names(before)
        << "\nafter:  " << names(after);
}
