// Linked into every test program: points the shared NTP clock, and every
// resolver that is given no DNS server, at a loopback port nobody serves
// before any test runs, so no test that forgets to inject a clock or a
// server can ever ask a public time server or the system's DNS. The
// references are weak: programs that do not link those units are left
// alone.

#include "core/kelTypes.h"

#include <cstdint>

void setNTPDefaultServer(const kelString& server, uint16_t port) noexcept __attribute__((weak));
void kelSetDnsServersOverride(const char* servers) noexcept __attribute__((weak));

namespace {

const bool g_guarded = [] {
    if (setNTPDefaultServer) setNTPDefaultServer(u"127.0.0.1", 9);
    if (kelSetDnsServersOverride) kelSetDnsServersOverride("127.0.0.1:9");
    return true;
}();

} // namespace
