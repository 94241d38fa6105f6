#include "net/protocols/kelRTSPWire.h"

#include "core/kelTextUtils.h"
#include "core/kelUtf.h"
#include "net/protocols/kelDecimal.h"
#include "net/protocols/kelHTTPparser.h"
#include "net/protocols/kelRTSPTables.h"

std::string kelRTSPWireText(const kelString& text)
{
    std::string out;
    for (char c : utf16ToUtf8(text))
        if (c != '\r' && c != '\n' && c != '\0') out.push_back(c);
    return out;
}

std::string kelRTSPHeaderLines(const kelString& block)
{
    std::string out;
    const std::string bytes = utf16ToUtf8(block);
    size_t begin = 0;
    while (begin <= bytes.size()) {
        size_t end = bytes.find_first_of("\r\n", begin);
        if (end == std::string::npos) end = bytes.size();
        std::string line = trimText(std::string_view(bytes).substr(begin, end - begin));
        std::erase(line, '\0');
        if (!line.empty()) out += line + "\r\n";
        begin = end + 1;
    }
    return out;
}

kelString kelRTSPRequestURI(const kelString& uri, const kelString& lastURI, const kelString& control)
{
    kelString base = trimText(uri).empty() ? lastURI : uri;
    const kelString ctl = trimText(control);
    if (ctl.empty()) return base;
    if (ctl == u"*") return ctl;
    if (ctl.find(u"://") != kelString::npos) return ctl;
    while (!base.empty() && base.back() == u'/')
        base.pop_back();
    size_t skip = 0;
    while (skip < ctl.size() && ctl[skip] == u'/')
        ++skip;
    return base + u"/" + ctl.substr(skip);
}

std::string kelRTSPBuildRequest(intptr_t method, const kelString& requestURI, intptr_t cseq,
                                const kelString& params, const kelString& userAgent)
{
    const kelString name = kelRTSPMethodName(method);
    if (name.empty()) return {};
    std::string out = utf16ToUtf8(name) + " " + kelRTSPWireText(requestURI) + " RTSP/1.0\r\n";
    out += "CSeq: " + std::to_string(cseq) + "\r\n";
    out += kelRTSPHeaderLines(params);
    if (method == kelRTSP_DESCRIBE) out += "Accept: application/sdp\r\n";
    out += "User-Agent: " + kelRTSPWireText(userAgent) + "\r\n\r\n";
    return out;
}

kelRTSPAnswerState kelRTSPCheckAnswer(const kelHTTPparser& answer, intptr_t cseq)
{
    if (answer.overflow()) return kelRTSPAnswerState::Overflow;
    if (!answer.headerComplete() || !answer.getPayloadComplete(true, 0))
        return kelRTSPAnswerState::Incomplete;
    const intptr_t got = kelParseDecimal(answer.getHeaderValue(kelString(u"CSeq"), true));
    return got == cseq ? kelRTSPAnswerState::Complete : kelRTSPAnswerState::OtherCSeq;
}

std::string kelRTSPBuildAnswer(const kelRTSPAnswer& answer, const kelHTTPparser& request,
                               const std::string& date)
{
    std::string out =
        "RTSP/1.0 " + std::to_string(answer.code) + " " + kelRTSPWireText(answer.humanMsg) + "\r\n";
    out += kelRTSPHeaderLines(answer.headers);
    const kelString cseq = request.getHeaderValue(kelString(u"CSeq"), true);
    if (!cseq.empty()) out += "CSeq: " + kelRTSPWireText(cseq) + "\r\n";
    const kelString session = request.getHeaderValue(kelString(u"Session"), true);
    if (!session.empty()) out += "Session: " + kelRTSPWireText(session) + "\r\n";
    out += "Date: " + date + "\r\n";
    if (!answer.body.empty()) out += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
    out += "\r\n";
    out += answer.body;
    return out;
}
