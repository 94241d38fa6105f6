#include "streaming/kelIPTransRTSPSession.h"

#include "net/protocols/kelRE.h"
#include "net/sockets/kelSockAddr.h"
#include "net/sockets/kelURICrack.h"

#include <arpa/inet.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

char16_t lowerASCII(char16_t c) noexcept
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool equalsIgnoringCase(const kelString& a, const kelString& b) noexcept
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
               return lowerASCII(x) == lowerASCII(y);
           });
}

kelString decimal(unsigned value)
{
    const std::string s = std::to_string(value);
    return kelString(s.begin(), s.end());
}

} // namespace

int64_t session2id(const kelString& session) noexcept
{
    if (session.empty()) return -1;
    uint64_t value = 0;
    for (const char16_t c : session) {
        unsigned digit;
        const char16_t l = lowerASCII(c);
        if (l >= u'0' && l <= u'9')
            digit = l - u'0';
        else if (l >= u'a' && l <= u'v')
            digit = 10u + (l - u'a');
        else
            return -1;
        // Beyond 63 bits the id would turn negative and could meet -1.
        if (value > (static_cast<uint64_t>(INT64_MAX) - digit) / 32) return -1;
        value = value * 32 + digit;
    }
    return static_cast<int64_t>(value);
}

bool kelSplitSessionCommand(const kelRE* compiled, const kelString& text, kelString& session, kelString& uri)
{
    std::vector<kelRECapture> captures;
    if (reFindCaptures(compiled, text, 1, reStepBudgetFor(text), captures) < 1 || captures.size() < 4)
        return false;
    const auto group = [&](size_t i) {
        const kelRECapture& c = captures[i];
        return c.r_start < 0 ? kelString{}
                             : text.substr(static_cast<size_t>(c.r_start), static_cast<size_t>(c.r_length));
    };
    kelString u = group(3);
    if (u.empty()) return false;
    session = group(2);
    uri = std::move(u);
    return true;
}

kelIPTransRTSPSession::kelIPTransRTSPSession(const kelString& session, const kelString& destURI,
                                             uint32_t recSSRC, intptr_t ttl)
    : f_destURI(destURI), f_session(session), f_recSSRC(recSSRC), f_ttl(ttl), f_id(session2id(session))
{
    kelURICrack crack;
    if (!crackURI(destURI, crack)) return;
    f_destHost = crack.r_hostName;
    if (crack.r_port != 0) f_destPort = decimal(crack.r_port);
    f_destPath = crack.r_path;
    f_destAddr.sin_family = AF_INET;
    f_destAddr.sin_port = htons(crack.r_port);
    const uint32_t ipH = f_destHost.empty() ? 0 : hostToIpH(f_destHost, 0);
    f_destAddr.sin_addr.s_addr = htonl(ipH);
}

bool kelIPTransRTSPSession::sameURI(const kelString& uri) const noexcept
{
    return equalsIgnoringCase(f_destURI, uri);
}

bool kelIPTransRTSPSession::sameAddr(const sockaddr_in& addr) const noexcept
{
    if (f_destAddr.sin_addr.s_addr == 0 || f_destAddr.sin_addr.s_addr != addr.sin_addr.s_addr) return false;
    return f_destAddr.sin_port == 0 || addr.sin_port == 0 || f_destAddr.sin_port == addr.sin_port;
}

bool kelIPTransRTSPSession::sameRTCPAddr(const sockaddr_in& addr) const noexcept
{
    if (f_destAddr.sin_addr.s_addr == 0 || f_destAddr.sin_addr.s_addr != addr.sin_addr.s_addr) return false;
    const unsigned rtp = ntohs(f_destAddr.sin_port);
    return rtp != 0 && ntohs(addr.sin_port) == rtp + 1;
}

kelIPTransRTSPSessionList::kelIPTransRTSPSessionList() : kelIdList(uldt_obj, false)
{
    setAutoFree(true);
    // Sessionless destinations share id -1; the transmitter keeps the
    // entries apart by URI.
    setAllowDuplicateId(true);
}

kelIPTransRTSPSessionList::~kelIPTransRTSPSessionList()
{
    clear(2, true);
}

int64_t kelIPTransRTSPSessionList::getId(void* item) noexcept
{
    return static_cast<kelIPTransRTSPSession*>(item)->id();
}

intptr_t kelIPTransRTSPSessionList::indexOfSession(int64_t id) noexcept
{
    return id == -1 ? -1 : indexOfId(id);
}

intptr_t kelIPTransRTSPSessionList::indexOfURI(const kelString& uri) noexcept
{
    if (uri.empty()) return -1;
    for (intptr_t i = 0; i < count(); ++i)
        if (const kelIPTransRTSPSession* s = session(i); s != nullptr && s->sameURI(uri)) return i;
    return -1;
}
