// Linked into every test program: points the shared NTP clock at a loopback
// port nobody serves before any test runs, so no test that forgets to inject
// a clock can ever ask a public time server (or the system's DNS) for the
// time. The reference is weak: programs that do not link the RTP unit are
// left alone.

#include "core/kelTypes.h"

#include <cstdint>

void setNTPDefaultServer(const kelString& server, uint16_t port) noexcept __attribute__((weak));

namespace {

const bool g_guarded = [] {
    if (setNTPDefaultServer) setNTPDefaultServer(u"127.0.0.1", 9);
    return true;
}();

} // namespace
