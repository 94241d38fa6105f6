#include "net/protocols/kelSTUNMapped.h"

#include "core/kelCreate.h"
#include "core/kelEvent.h"

void mySTUNClient::onResponse(kelSTUNClient_req*, int code, uint32_t ip, uint16_t port, uint16_t boundPort)
{
    if (code == 200) {
        f_ip4 = ip;
        f_port = port;
        f_boundPort = boundPort;
    }
    f_error = code;
}

bool getSTUNMappedAddress(const kelString& host, uint32_t& ip, uint16_t& port, uint16_t& boundPort,
                          const kelString& serverPort, intptr_t proto, int64_t timeout, bool useDNSSRV,
                          kelSocket* socket, const kelString& bind2ip, const kelString& bind2port,
                          const kelClock* clock) noexcept
{
    // Declared first, so it outlives the client whose thread signals it.
    kelEvent done(true, false);
    kelOwned<mySTUNClient> client(kelCreate<mySTUNClient>(host, proto, useDNSSRV, serverPort, bind2ip));
    if (!client) return false;
    if (clock != nullptr) client->setClock(*clock);
    try {
        client->setBind2port(bind2port);
        if (client->req(1, nullptr, 0, socket, &done) < 0) return false;
        if (!done.waitFor(timeout) || client->error() != 200) {
            // The client stops (and lets go of `socket`) before `done` goes.
            client.reset();
            return false;
        }
        ip = client->ip4();
        port = client->mappedPort();
        boundPort = client->boundPort();
        client.reset();
        return true;
    } catch (...) {
        return false;
    }
}
