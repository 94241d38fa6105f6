// Received RTCP datagrams fed to the RTCP stack itself: member creation,
// CNAME copies, BYE handling and round-trip echoes on hostile input. What
// the stack would send is dropped.
#include "net/rtp/kelSocks_RTP.h"

#include "core/kelCreate.h"

#include <arpa/inet.h>

namespace {

class Owner : public kelRTCPStackOwner
{
public:
    uint32_t rtcpSSRC() const noexcept override { return 0x01020304; }
    std::string rtcpCNAME() const override { return "fuzz@host"; }
};

class Stack : public kelRTCPstack
{
public:
    explicit Stack(Owner* owner) : kelRTCPstack(owner, false)
    {
        setNTPClock([](kelNTP_timestamp&) { return false; });
    }
    int sendTo(const sockaddr_in*, const uint8_t*, size_t) noexcept override { return 0; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Owner owner;
    static Stack* stack = kelCreate<Stack>(&owner);
    static unsigned runs = 0;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    from.sin_port = htons(5007);
    stack->processRTCP(from, data, size);
    (void)stack->report(false);
    if (++runs % 256 == 0) stack->members().clear(2);
    return 0;
}
