#include "tests/support/kelTestNet.h"

#include "core/kelTick.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

// Test programs run side by side and pick ports the same way, so "free now"
// is not enough: two of them could pick the same pair before either binds
// (the library binds with SO_REUSEADDR, so both binds would succeed). Each
// pair handed out is claimed with a lock file held until the process ends;
// the kernel drops the lock when it does, however it ends.
bool claimPort(uint16_t port)
{
    const char* dir = "/tmp/kel-test-ports";
    (void)::mkdir(dir, 0777);
    const std::string path = std::string(dir) + "/" + std::to_string(port);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return true; // no claim possible: fall back to the bind check alone
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true; // kept open: the claim lives with the process
    ::close(fd);
    return false;
}

} // namespace

bool kelTestUdpPortFree(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in a = kelTestLoopback(port);
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

uint16_t kelTestFreeRTPPort()
{
    for (uint32_t attempt = 0; attempt < 200; ++attempt) {
        const uint64_t spread = static_cast<uint64_t>(::getpid()) * 131 + tickNow() + attempt * 34u;
        const auto port = static_cast<uint16_t>((20000 + spread % 20000) & ~1u);
        if (kelTestUdpPortFree(port) && kelTestUdpPortFree(static_cast<uint16_t>(port + 1)) &&
            claimPort(port))
            return port;
    }
    return 0;
}

kelString kelTestURI(uint16_t port, const std::string& suffix)
{
    const std::string s = "rtp://127.0.0.1:" + std::to_string(port) + suffix;
    return kelString(s.begin(), s.end());
}
