#include "net/protocols/kelDNSClient.h"

#include "core/kelLog.h"
#include "net/protocols/kelProtoRandom.h"
#include "platform/kelDnsServers.h"

#include <poll.h>

#include <algorithm>

namespace {

// The longest real wait of one pass: a clock moved by hand is seen this soon.
constexpr int64_t kMaxWaitMs = 50;

std::vector<std::string> splitServers(const std::string& text)
{
    std::vector<std::string> out;
    std::string cur;
    for (const char c : text) {
        if (c == '\r' || c == '\n') {
            if (!cur.empty()) out.push_back(std::move(cur));
            cur.clear();
        } else if (c != ' ' && c != '\t') {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) out.push_back(std::move(cur));
    return out;
}

} // namespace

kelDNSClient::kelDNSClient(const std::string& dnsServers, kelDNS_transport transport)
    : kelThread(false), f_dnsServers(dnsServers.empty() ? getDNSServersList() : dnsServers),
      f_transport(transport)
{}

kelDNSClient::~kelDNSClient()
{
    // Normally stopped already by kelFree; the body must not outlive the
    // members it uses.
    stop(3000, true);
}

std::string kelDNSClient::getDNSServersList()
{
    std::string out;
    for (const std::string& s : kelDnsServers())
        out += s + "\r\n";
    return out;
}

intptr_t kelDNSClient::pending() noexcept
{
    kelLock guard(this, true, 1000);
    return guard ? static_cast<intptr_t>(f_queries.size()) : 0;
}

intptr_t kelDNSClient::query(const std::vector<std::string>& resources, int qtype, int opCode, int qClass,
                             bool recurse) noexcept
{
    return query(f_dnsServers, resources, qtype, opCode, qClass, recurse);
}

intptr_t kelDNSClient::query(const std::string& dnsServers, const std::vector<std::string>& resources,
                             int qtype, int opCode, int qClass, bool recurse) noexcept
{
    uint16_t id = 0;
    bool ending = false;
    try {
        kelLock guard(this, false, 3000);
        if (!guard) return -1;
        // An id no pending query has: a late answer to one cannot be taken
        // for another's.
        for (;;) {
            id = static_cast<uint16_t>(kelProtoRandom32());
            if (std::none_of(f_queries.begin(), f_queries.end(),
                             [id](const auto& q) { return q->id() == id; }))
                break;
        }
        f_queries.push_back(std::make_unique<kelDNSQuery>(id, splitServers(dnsServers), resources, qtype,
                                                          opCode, qClass, recurse, f_transport));
        ending = f_ending;
    } catch (...) {
        logCaught("kelDNSClient::query");
        return -1;
    }
    if (ending) (void)stop(3000);
    if (ending || status() != keltsRunning) {
        if (!start(10000)) {
            kelLock guard(this, false, 3000);
            if (guard) std::erase_if(f_queries, [id](const auto& q) { return q->id() == id; });
            return -1;
        }
    }
    wakeUp();
    return id;
}

void kelDNSClient::onQueryComplete(kelDNSQuery*, bool) {}

void kelDNSClient::complete(std::unique_ptr<kelDNSQuery> query, bool failed) noexcept
{
    if (failed && query->status() == 0) query->setStatus(-1);
    try {
        onQueryComplete(query.get(), failed);
    } catch (...) {
        logCaught("kelDNSClient::onQueryComplete");
    }
}

bool kelDNSClient::pass(std::vector<uint8_t>& scratch)
{
    std::vector<kelDNSQuery*> queries;
    {
        kelLock guard(this, true, 300);
        if (!guard) return true;
        for (const auto& q : f_queries)
            queries.push_back(q.get());
    }
    if (queries.empty()) return false;
    const kelClock& clock = f_clock.get();
    for (kelDNSQuery* q : queries) {
        if (shouldStop()) break;
        bool failed = false;
        bool done = false;
        if (q->sentAt() == 0) {
            failed = q->status() != 0 || !q->issue(clock.nowMs());
        } else if (clock.msSince(q->sentAt()) < kelDNSAttemptTimeoutMs) {
            switch (q->receive(scratch)) {
            case kelDNSAnswered:
                done = true;
                break;
            case kelDNSStartOver:
                q->startOver();
                break;
            case kelDNSClosed:
                failed = true;
                break;
            case kelDNSNoAnswer:
                break;
            }
        } else {
            failed = true;
        }
        if (failed && q->failOver())
            failed = false;
        else if (failed)
            done = true;
        if (!done) continue;
        // Only this thread removes queries, so the pointer is still ours.
        std::unique_ptr<kelDNSQuery> owned;
        {
            kelLock guard(this, false, 3000);
            if (!guard) continue;
            auto it =
                std::find_if(f_queries.begin(), f_queries.end(), [q](const auto& p) { return p.get() == q; });
            if (it == f_queries.end()) continue;
            owned = std::move(*it);
            f_queries.erase(it);
        }
        complete(std::move(owned), failed);
    }
    return true;
}

void kelDNSClient::waitForWork(int64_t maxMs) noexcept
{
    std::vector<pollfd> fds;
    try {
        const int wake = wakeFd();
        if (wake >= 0) fds.push_back(pollfd{wake, POLLIN, 0});
        kelLock guard(this, true, 100);
        if (guard) {
            for (const auto& q : f_queries) {
                // A query to (re)issue wants the next pass at once.
                if (q->sentAt() == 0) return;
                if (q->pollFd() >= 0) fds.push_back(pollfd{q->pollFd(), POLLIN, 0});
            }
        }
    } catch (...) {
        sleepThread(10);
        return;
    }
    if (fds.empty()) {
        sleepThread(maxMs);
        return;
    }
    if (::poll(fds.data(), fds.size(), static_cast<int>(maxMs)) > 0 && fds[0].revents != 0) consumeWake();
}

intptr_t kelDNSClient::execute(uintptr_t)
{
    {
        kelLock guard(this, false, 3000);
        f_ending = false;
    }
    std::vector<uint8_t> scratch;
    const kelClock& clock = f_clock.get();
    f_idleTM = clock.nowMs();
    while (!shouldStop()) {
        bool busy = false;
        try {
            busy = pass(scratch);
        } catch (...) {
            logCaught("kelDNSClient thread");
            sleepThread(10);
        }
        if (busy) {
            f_idleTM = clock.nowMs();
        } else if (clock.msSince(f_idleTM) > kelDNSClientIdleMs) {
            kelLock guard(this, false, 300);
            if (guard && f_queries.empty()) {
                f_ending = true;
                break;
            }
        }
        waitForWork(kMaxWaitMs);
    }
    return 0;
}
