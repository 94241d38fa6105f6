// Session description reader (RFC 4566 section 5).
//
//   v=0
//   o=- 1 1 IN IP4 127.0.0.1        username sess-id sess-version nettype addrtype address
//   s=Session
//   c=IN IP4 224.2.36.42/127/3      address[/ttl][/count]; IP6 has no ttl: address[/count]
//   t=0 0
//   a=tool:x
//   m=audio 5004 RTP/AVP 96         media port proto fmt...
//   a=rtpmap:96 L16/44100/2
#include "net/protocols/kelSDPParser.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "core/kelTextUtils.h"
#include "net/protocols/kelDecimal.h"

namespace {

const kelString kCRLF = u"\r\n";

int32_t toInt32(intptr_t value, int32_t fallback)
{
    return value < 0 || value > std::numeric_limits<int32_t>::max() ? fallback : static_cast<int32_t>(value);
}

bool startsWith(const kelString& text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && std::u16string_view(text).substr(0, prefix.size()) == prefix;
}

// Pieces of `text` between blanks; runs of blanks count as one.
std::vector<kelString> splitAtBlanks(const kelString& text)
{
    std::vector<kelString> parts;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == u' ')
            ++i;
        if (i >= text.size()) break;
        size_t end = text.find(u' ', i);
        if (end == kelString::npos) end = text.size();
        parts.push_back(text.substr(i, end - i));
        i = end;
    }
    return parts;
}

} // namespace

void parseSDPConnection(const kelString& value, kelSDPConnectionInfo& info)
{
    info = kelSDPConnectionInfo{};
    size_t blank = value.find(u' ');
    info.r_netType = value.substr(0, blank);
    if (blank == kelString::npos) return;
    kelString rest = value.substr(blank + 1);
    size_t second = rest.find(u' ');
    if (second == kelString::npos) {
        info.r_addrType = rest;
        return;
    }
    info.r_addrType = rest.substr(0, second);
    kelString address = rest.substr(second + 1);
    size_t slash = address.find(u'/');
    info.r_connAddr = address.substr(0, slash);
    if (slash == kelString::npos) return;
    kelString suffix = address.substr(slash + 1);
    size_t slash2 = suffix.find(u'/');
    intptr_t first = kelParseDecimal(std::u16string_view(suffix).substr(0, slash2));
    if (slash2 == kelString::npos && compareText(info.r_addrType, u"IP6", true) == 0) {
        // IPv6 multicast has no TTL: the one suffix is the number of addresses.
        info.r_numberOfAddresses = std::max<int32_t>(toInt32(first, 1), 1);
        return;
    }
    info.r_ttl = toInt32(first, -1);
    if (slash2 != kelString::npos)
        info.r_numberOfAddresses =
            std::max<int32_t>(toInt32(kelParseDecimal(suffix.substr(slash2 + 1)), 1), 1);
}

kelSDPMDList::kelSDPMDList() : kelRecordList(true, false)
{
    // The descriptions are C++ objects: the list destroys them itself
    // instead of handing the blocks to std::free.
    setFreesPointers(false);
}

kelSDPMDList::~kelSDPMDList()
{
    clear(2, true);
}

void kelSDPMDList::releaseItem(intptr_t index, uintptr_t doFree) noexcept
{
    if (index < 0 || index >= count()) return;
    auto* md = static_cast<kelSDPMediaDescription*>(itemAt(index));
    kelRecordList::releaseItem(index, doFree);
    if (md && wantsFree(doFree)) delete md;
}

kelSDPParser::kelSDPParser(const kelHTTPparser* response) : f_o(std::make_unique<kelSDPSessionInfo>())
{
    f_headerDelimiter = u'=';
    applyPayload(response);
}

void kelSDPParser::applyPayload(const kelHTTPparser* response)
{
    if (response && response->getPayloadComplete(true, -1)) applyPayload(response->getPayload());
}

kelSDPMediaDescription* kelSDPParser::getMD(intptr_t index)
{
    return static_cast<kelSDPMediaDescription*>(f_md.get(index));
}

void kelSDPParser::applyPayload(std::string_view payload)
{
    if (payload.empty()) return;
    cleanup();
    // An SDP body may be as large as any message body.
    setLimits(maxHeaderSize() + maxBodySize(), 0);
    feed("DUMMY SDP HEADER\r\n");
    feed(payload);
    if (payload.find("\r\n\r\n") == std::string_view::npos) feed("\r\n\r\n");

    f_md.clear(2, false);
    *f_o = kelSDPSessionInfo{};
    f_k.clear();
    f_i.clear();
    f_b.clear();
    f_c = kelSDPConnectionInfo{};
    f_e.clear();
    f_z.clear();
    f_s.clear();
    f_p.clear();
    f_v = -1;
    f_t.clear();
    f_u.clear();
    f_a.clear();

    // Every line as (type, value), read once.
    std::vector<std::pair<kelString, kelString>> lines;
    Line line;
    if (startLine(line)) {
        while (lineAt(line.next, line) && !line.empty()) {
            kelString text = lineText(line);
            size_t at = text.find(f_headerDelimiter);
            if (at == kelString::npos)
                lines.emplace_back(text, kelString());
            else
                lines.emplace_back(text.substr(0, at), trimText(std::u16string_view(text).substr(at + 1)));
        }
    }

    size_t i = 0;
    auto is = [&](const char16_t* name) { return i < lines.size() && lines[i].first == name; };
    auto value = [&]() -> const kelString& { return lines[i].second; };
    auto takeOne = [&](const char16_t* name, kelString& field) {
        if (is(name)) field = lines[i++].second;
    };
    auto joinAll = [&](const char16_t* name, kelString& field) {
        while (is(name))
            field += lines[i++].second + kCRLF;
        field = trimText(field);
    };

    if (!is(u"v")) return;
    f_v = kelParseDecimal(value());
    ++i;
    if (f_v < 0) return;

    if (is(u"o")) {
        // Six fields split at single blanks; the last keeps any further blanks.
        kelString* fields[] = {&f_o->r_username, &f_o->r_sessid,   &f_o->r_sessversion,
                               &f_o->r_nettype,  &f_o->r_addrtype, &f_o->r_unicastAddress};
        const kelString& o = value();
        size_t from = 0;
        for (size_t k = 0; k < 6 && from <= o.size(); ++k) {
            size_t blank = k < 5 ? o.find(u' ', from) : kelString::npos;
            *fields[k] = o.substr(from, blank == kelString::npos ? kelString::npos : blank - from);
            if (blank == kelString::npos) break;
            from = blank + 1;
        }
        ++i;
    }
    takeOne(u"s", f_s);
    takeOne(u"i", f_i);
    takeOne(u"u", f_u);
    takeOne(u"e", f_e);
    takeOne(u"p", f_p);
    if (is(u"c")) parseSDPConnection(lines[i++].second, f_c);
    joinAll(u"b", f_b);
    while (is(u"t")) {
        f_t += lines[i++].second + kCRLF;
        while (is(u"r"))
            ++i;
    }
    f_t = trimText(f_t);
    takeOne(u"z", f_z);
    takeOne(u"k", f_k);
    joinAll(u"a", f_a);

    while (is(u"m")) {
        auto md = std::make_unique<kelSDPMediaDescription>();
        std::vector<kelString> parts = splitAtBlanks(value());
        if (parts.size() > 0) md->r_type = parts[0];
        if (parts.size() > 1) md->r_port = parts[1];
        if (parts.size() > 2) md->r_proto = parts[2];
        if (parts.size() > 3) md->r_format = kelParseDecimal(parts[3]);
        md->r_c.r_ttl = -1;
        ++i;
        for (; i < lines.size(); ++i) {
            const kelString& name = lines[i].first;
            const kelString& v = lines[i].second;
            if (name == u"i") {
                md->r_i = v;
            } else if (name == u"c") {
                parseSDPConnection(v, md->r_c);
            } else if (name == u"b") {
                md->r_b += v + kCRLF;
            } else if (name == u"k") {
                md->r_k = v;
            } else if (name == u"a") {
                md->r_a += v + kCRLF;
                if (startsWith(v, u"control:"))
                    md->r_control += v.substr(8) + kCRLF;
                else if (startsWith(v, u"rtpmap:"))
                    md->r_rtpmap += v.substr(7) + kCRLF;
                else if (startsWith(v, u"fmtp:"))
                    md->r_fmtp += v.substr(5) + kCRLF;
            } else {
                break;
            }
        }
        md->r_control = trimText(md->r_control);
        md->r_rtpmap = trimText(md->r_rtpmap);
        if (f_md.add(md.get()) >= 0) md.release();
    }
}
