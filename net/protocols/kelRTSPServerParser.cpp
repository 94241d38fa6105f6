#include "net/protocols/kelRTSPServerParser.h"

#include "core/kelTextUtils.h"
#include "net/protocols/kelRTSPTables.h"

#include <algorithm>

kelRTSPAnswer kelRTSPDispatch(intptr_t method, const kelString& peer, const kelHTTPparser& request,
                              const kelRTSPRequestHandler& onRequest)
{
    kelRTSPAnswer answer;
    const auto ask = [&] {
        if (!onRequest) return;
        try {
            onRequest(method, peer, request, answer);
        } catch (...) {
            answer = kelRTSPAnswer{};
            answer.code = 500;
            answer.humanMsg = u"Internal Server Error";
        }
    };
    switch (method) {
    case kelRTSP_DESCRIBE:
        ask();
        if (answer.headers.empty())
            answer.headers = u"Content-Base: " + request.getReqURI() + u"\r\nContent-Type: application/sdp";
        break;
    case kelRTSP_OPTIONS:
        answer.headers = kelRTSPPublic;
        break;
    case kelRTSP_REDIRECT:
        answer.code = 405;
        answer.humanMsg = u"S->C only";
        break;
    case kelRTSP_ANNOUNCE:
    case kelRTSP_GET_PARAMETER:
    case kelRTSP_SET_PARAMETER:
    case kelRTSP_PAUSE:
    case kelRTSP_PLAY:
    case kelRTSP_RECORD:
    case kelRTSP_SETUP:
    case kelRTSP_TEARDOWN:
        ask();
        break;
    default:
        answer.code = 400;
        answer.humanMsg = u"Cant handle " + request.getReqMethod();
        break;
    }
    return answer;
}

kelRTSPServerParser::kelRTSPServerParser(int64_t id) : f_id(id)
{
    setLimits(kelRTSPMaxRequestHeader, kelRTSPMaxRequestBody);
}

void kelRTSPServerParser::serveComplete(Output& out, const kelString& peer,
                                        const kelRTSPRequestHandler& onRequest,
                                        const std::function<std::string()>& date)
{
    while (!tooLarge() && headerComplete() && getPayloadComplete(true, 0)) {
        f_idleTime = f_nowMs;
        const intptr_t method = kelRTSPMethodIndex(getReqMethod());
        const kelRTSPAnswer answer = kelRTSPDispatch(method, peer, *this, onRequest);
        out.bytes += kelRTSPBuildAnswer(answer, *this, date ? date() : std::string());
        ++out.answered;
        if (!dropIfComplete(0)) break;
    }
}

bool kelRTSPServerParser::tooLarge() const
{
    // A body announced beyond the bound is refused before it arrives.
    return overflow() || (headerComplete() && contentLength() > static_cast<intptr_t>(maxBodySize()));
}

kelRTSPServerParser::Output kelRTSPServerParser::receive(const void* data, size_t len, const kelString& peer,
                                                         const kelRTSPRequestHandler& onRequest,
                                                         const std::function<std::string()>& date,
                                                         uint64_t nowMs)
{
    Output out;
    f_nowMs = nowMs;
    const auto* p = static_cast<const uint8_t*>(data);
    // Fed in slices that fit the bounds, answering between them, so that
    // many small pipelined requests never add up to an overflow.
    const uintptr_t bound = maxHeaderSize() + maxBodySize();
    while (!tooLarge()) {
        const uintptr_t room = dataSize() < bound ? bound - dataSize() : 0;
        const size_t take = room == 0 ? len : std::min<size_t>(len, room);
        if (len > 0) feed(p, static_cast<intptr_t>(take));
        p += take;
        len -= take;
        serveComplete(out, peer, onRequest, date);
        if (len == 0) break;
    }
    if (tooLarge()) {
        kelRTSPAnswer bad;
        bad.code = 400;
        bad.humanMsg = u"Bad Request";
        // Only a header that arrived whole lends its CSeq to the answer.
        kelHTTPparser none;
        out.bytes +=
            kelRTSPBuildAnswer(bad, headerComplete() ? static_cast<const kelHTTPparser&>(*this) : none,
                               date ? date() : std::string());
        ++out.answered;
        out.close = true;
        cleanup();
    }
    return out;
}

kelParsersList::kelParsersList() : kelIdList(uldt_obj, false) {}

kelParsersList::~kelParsersList()
{
    clear(2, true);
}

int64_t kelParsersList::getId(void* item) noexcept
{
    return static_cast<kelRTSPServerParser*>(item)->id();
}

kelRTSPServerParser* kelParsersList::parser(int64_t id) noexcept
{
    return static_cast<kelRTSPServerParser*>(itemById(id));
}
