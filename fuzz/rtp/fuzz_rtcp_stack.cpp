// Received RTCP datagrams fed to the RTCP session: member creation, CNAME
// copies, BYE handling, round-trip echoes and the report built afterwards,
// on hostile input. What the session would send is checked and dropped.
#include "net/rtp/kelRTCPSession.h"

#include <arpa/inet.h>

#include <cstdlib>

namespace {

class Owner : public kelRTCPStackOwner
{
public:
    uint32_t rtcpSSRC() const noexcept override { return 0x01020304; }
    std::string rtcpCNAME() const override { return "fuzz@host"; }
};

// Everything the session sends must be a compound our own parser accepts
// from its first packet on.
class Output : public kelRTCPOutput
{
public:
    int sendRTCP(const sockaddr_in*, const uint8_t* data, size_t size) noexcept override
    {
        kelRTCPReader reader(data, size);
        kelRTCPPacketView p;
        if (size < 8 || size > 1500 || !reader.next(p)) std::abort();
        return 0;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Owner owner;
    static Output output;
    static kelManualClock clock;
    static kelRTCPSession* session = [] {
        auto* s = new kelRTCPSession(&owner, &output);
        s->setClock(clock);
        s->reset();
        return s;
    }();
    static unsigned runs = 0;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    from.sin_port = htons(5007);
    session->processRTCP(from, data, size);
    clock.advanceMs(100);
    (void)session->tick();
    (void)session->report(false);
    // The table stays within its bounds whatever arrives.
    if (session->memberCount() > session->maxMembers() + 1 ||
        session->validatedMemberCount() > session->memberCount())
        std::abort();
    if (++runs % 256 == 0) session->clearMembers();
    return 0;
}
