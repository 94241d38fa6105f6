#pragma once
// The server's wire half: one kelRTSPServerParser per client connection
// collects its requests and answers every complete one, in order, through
// pure functions the socket side calls with the bytes it read and sends what
// comes back. kelParsersList keeps them by connection id.
//
// Bounds: a request header over 8 KiB or a body over 64 KiB is answered 400
// and the connection is to be closed; nothing more of it is buffered.
//
// Not thread-safe: a parser belongs to the thread that delivers its
// connection's data.

#include "core/kelIdList.h"
#include "core/kelTypes.h"
#include "net/protocols/kelHTTPparser.h"
#include "net/protocols/kelRTSPWire.h"

#include <cstdint>
#include <functional>
#include <string>

inline constexpr uintptr_t kelRTSPMaxRequestHeader = 8 * 1024;
inline constexpr uintptr_t kelRTSPMaxRequestBody = 64 * 1024;
inline constexpr char16_t kelRTSPPublic[] =
    u"Public: OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER, SET_PARAMETER";

// Decides the answer to a request the server does not answer itself
// (DESCRIBE, ANNOUNCE, GET_PARAMETER, SET_PARAMETER, PAUSE, PLAY, RECORD,
// SETUP, TEARDOWN). `answer` comes in as 200 "OK" without headers or body.
// Runs on the thread that serves the connection; `request` is valid during
// the call.
using kelRTSPRequestHandler = std::function<void(intptr_t method, const kelString& peer,
                                                 const kelHTTPparser& request, kelRTSPAnswer& answer)>;

// The answer to one complete request of method index `method` (-1 unknown):
// OPTIONS lists what the server does, REDIRECT is refused (405, a server to
// client request only), an unknown method gets 400, the rest go to
// `onRequest` (a DESCRIBE without headers of its own gets Content-Base and
// Content-Type).
kelRTSPAnswer kelRTSPDispatch(intptr_t method, const kelString& peer, const kelHTTPparser& request,
                              const kelRTSPRequestHandler& onRequest);

class kelRTSPServerParser : public kelHTTPparser
{
public:
    explicit kelRTSPServerParser(int64_t id);

    int64_t id() const noexcept { return f_id; }
    // Clock time (ms) of the last request answered; 0 before.
    uint64_t idleTime() const noexcept { return f_idleTime; }

    struct Output
    {
        std::string bytes;     // the answers, in request order
        intptr_t answered = 0; // how many
        bool close = false;    // the connection broke the bounds: close it after sending
    };
    // Takes `len` bytes of the connection and answers every request they
    // complete. `date` gives the Date text, `nowMs` the clock time.
    Output receive(const void* data, size_t len, const kelString& peer,
                   const kelRTSPRequestHandler& onRequest, const std::function<std::string()>& date,
                   uint64_t nowMs);

    kelString _classID() const override { return u"kelRTSPServerParser"; }

private:
    bool tooLarge() const;
    void serveComplete(Output& out, const kelString& peer, const kelRTSPRequestHandler& onRequest,
                       const std::function<std::string()>& date);

    const int64_t f_id;
    uint64_t f_idleTime = 0;
    uint64_t f_nowMs = 0;
};

// Server parsers, owned, by connection id.
class kelParsersList : public kelIdList
{
public:
    kelParsersList();
    ~kelParsersList() override;

    // The parser of connection `id` without locking (the caller holds the
    // lock); null when none.
    kelRTSPServerParser* parser(int64_t id) noexcept;

    kelString _classID() const override { return u"kelParsersList"; }

protected:
    int64_t getId(void* item) noexcept override;
};
