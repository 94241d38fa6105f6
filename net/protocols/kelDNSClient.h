#pragma once
// kelDNSClient: a thread that runs any number of kelDNSQuery objects. A
// query sends its request to the first of its servers, waits up to 12 s by
// the client's clock, retries over the other transport and fails over to the
// next server, up to 16 attempts; onQueryComplete reports it.
//
// Time comes from the client's clock (setClock; tests advance a
// kelManualClock). The thread waits in poll() on the queries' sockets and
// its wake descriptor, which query() signals, at most 50 ms at a time so a
// clock moved by hand is seen promptly. It ends after 20 s without queries
// and the next query() starts it again.
//
// Threads: query() from any thread; onQueryComplete runs on the client
// thread. Make and free clients with kelCreate / kelFree.

#include "core/kelClock.h"
#include "core/kelThread.h"
#include "net/protocols/kelDNSQuery.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

inline constexpr uint64_t kelDNSClientIdleMs = 20000;

class kelDNSClient : public kelThread
{
public:
    // `dnsServers`: CR LF separated entries ("address" or "address:port");
    // empty: the machine's servers (getDNSServersList).
    explicit kelDNSClient(const std::string& dnsServers = {},
                          kelDNS_transport transport = kelDnsTR_UDP_then_TCP);
    ~kelDNSClient() override;

    // Starts a query over the client's servers, or over `dnsServers` (CR LF
    // separated). Returns its message id (16 random bits, unique among the
    // pending queries), or -1 when the thread cannot be started.
    intptr_t query(const std::vector<std::string>& resources, int qtype, int opCode = 0, int qClass = 1,
                   bool recurse = true) noexcept;
    intptr_t query(const std::string& dnsServers, const std::vector<std::string>& resources, int qtype,
                   int opCode = 0, int qClass = 1, bool recurse = true) noexcept;

    // The machine's DNS servers as CR LF terminated entries (the platform
    // list: resolv.conf, or the process-wide override). Any thread.
    static std::string getDNSServersList();

    const std::string& dnsServers() const noexcept { return f_dnsServers; }
    kelDNS_transport transport() const noexcept { return f_transport; }
    void setClock(const kelClock& clock) noexcept { f_clock.set(clock); }
    const kelClock& clock() const noexcept { return f_clock.get(); }
    // Queries not yet completed.
    intptr_t pending() noexcept;

    kelString _classID() const override { return u"kelDNSClient"; }

protected:
    // Called on the client thread just before the query is destroyed; the
    // query lives for the call only. `failed` with status() saying why.
    virtual void onQueryComplete(kelDNSQuery* query, bool failed);

    intptr_t execute(uintptr_t globalIndex) override;

private:
    void complete(std::unique_ptr<kelDNSQuery> query, bool failed) noexcept;
    // One pass over the queries; true while there are any.
    bool pass(std::vector<uint8_t>& scratch);
    void waitForWork(int64_t maxMs) noexcept;

    std::string f_dnsServers;
    kelDNS_transport f_transport;
    // Guarded by the client's lock.
    std::vector<std::unique_ptr<kelDNSQuery>> f_queries;
    // Set under the lock by a body that decided to end: query() then waits
    // for it and starts a new run.
    bool f_ending = false;
    kelClockSlot f_clock;
    uint64_t f_idleTM = 0;
};
