#include "net/protocols/kelDNSWire.h"

#include "core/kelByteOrder.h"

namespace {

std::string_view trimmed(std::string_view s) noexcept
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

char lowerAscii(char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The question at `ofs`: name, type and class. False when it does not fit.
bool readQuestion(const uint8_t* msg, size_t len, size_t& ofs, std::string& name, uint16_t& type,
                  uint16_t& cls)
{
    size_t next = 0;
    if (!dnsDecodeName(msg, len, ofs, len, name, next) || len - next < 4) return false;
    type = kelLoadBE16(msg + next);
    cls = kelLoadBE16(msg + next + 2);
    ofs = next + 4;
    return true;
}

} // namespace

bool dnsReadHeader(const uint8_t* msg, size_t len, kelDNS_HDR& hdr) noexcept
{
    if (msg == nullptr || len < kelDNSHeaderSize) return false;
    hdr.r_ID = kelLoadBE16(msg);
    hdr.r_QR_OPCODE_AATCRD_RA_Z_RCODE = kelLoadBE16(msg + 2);
    hdr.r_QDCOUNT = kelLoadBE16(msg + 4);
    hdr.r_ANCOUNT = kelLoadBE16(msg + 6);
    hdr.r_NSCOUNT = kelLoadBE16(msg + 8);
    hdr.r_ARCOUNT = kelLoadBE16(msg + 10);
    return true;
}

bool dnsEncodeName(std::string_view name, std::vector<uint8_t>& out)
{
    std::vector<uint8_t> enc;
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string_view::npos) dot = name.size();
        const size_t n = dot - start;
        if (n > kelDNSLabelMax) return false;
        if (n > 0) {
            enc.push_back(static_cast<uint8_t>(n));
            enc.insert(enc.end(), name.begin() + static_cast<ptrdiff_t>(start),
                       name.begin() + static_cast<ptrdiff_t>(dot));
        }
        start = dot + 1;
    }
    enc.push_back(0);
    if (enc.size() > kelDNSNameMax) return false;
    out.insert(out.end(), enc.begin(), enc.end());
    return true;
}

bool dnsDecodeName(const uint8_t* msg, size_t len, size_t ofs, size_t limit, std::string& name, size_t& next)
{
    if (limit > len) limit = len;
    std::string out;
    size_t pos = ofs;
    // Where reading of the current stretch began: a pointer must lead
    // before it, which makes every jump go lower in the message.
    size_t segment = ofs;
    size_t bound = limit;
    bool jumped = false;
    int jumps = 0;
    size_t wireLen = 0;
    for (;;) {
        if (pos >= bound) return false;
        const uint8_t b = msg[pos];
        if (b == 0) {
            if (++wireLen > kelDNSNameMax) return false;
            if (!jumped) next = pos + 1;
            name = out.empty() ? std::string(".") : std::move(out);
            return true;
        }
        if (b <= kelDNSLabelMax) {
            if (bound - pos - 1 < b) return false;
            wireLen += 1u + b;
            if (wireLen > kelDNSNameMax) return false;
            if (!out.empty()) out.push_back('.');
            out.append(reinterpret_cast<const char*>(msg + pos + 1), b);
            pos += 1u + b;
            continue;
        }
        if (b < 0xC0) return false; // the reserved label types 01 and 10
        if (bound - pos < 2) return false;
        const size_t target = (size_t(b & 0x3F) << 8) | msg[pos + 1];
        if (target >= segment || ++jumps > kelDNSMaxJumps) return false;
        if (!jumped) next = pos + 2;
        jumped = true;
        // What a pointer leads to lies before the pointer, inside the message.
        bound = len;
        pos = target;
        segment = target;
    }
}

bool dnsReadString(const uint8_t* msg, size_t limit, size_t& ofs, std::string& text)
{
    if (ofs >= limit) return false;
    const size_t n = msg[ofs];
    if (limit - ofs - 1 < n) return false;
    text.assign(reinterpret_cast<const char*>(msg + ofs + 1), n);
    ofs += 1 + n;
    return true;
}

size_t dnsBuildRequest(uint16_t id, int opCode, bool recurse, const std::vector<std::string>& names,
                       uint16_t qtype, uint16_t qclass, std::vector<uint8_t>& out,
                       std::vector<std::string>* written)
{
    out.assign(kelDNSHeaderSize, 0);
    kelStoreBE16(out.data(), id);
    out[2] = static_cast<uint8_t>(((opCode & 0x0F) << 3) | (recurse ? 1 : 0));
    uint16_t count = 0;
    for (const std::string& raw : names) {
        const std::string_view name = trimmed(raw);
        if (name.empty()) continue;
        std::vector<uint8_t> q;
        if (!dnsEncodeName(name, q)) continue;
        q.resize(q.size() + 4);
        kelStoreBE16(q.data() + q.size() - 4, qtype);
        kelStoreBE16(q.data() + q.size() - 2, qclass);
        if (out.size() + q.size() > kelDNSUdpMessageMax) break;
        out.insert(out.end(), q.begin(), q.end());
        ++count;
        if (written != nullptr) written->emplace_back(name);
    }
    kelStoreBE16(out.data() + 4, count);
    return out.size();
}

bool dnsSameName(std::string_view a, std::string_view b) noexcept
{
    if (a.size() > 1 && a.back() == '.') a.remove_suffix(1);
    if (b.size() > 1 && b.back() == '.') b.remove_suffix(1);
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    return true;
}

bool dnsAnswersRequest(const uint8_t* req, size_t reqLen, const uint8_t* resp, size_t respLen) noexcept
{
    kelDNS_HDR q;
    kelDNS_HDR r;
    if (!dnsReadHeader(req, reqLen, q) || !dnsReadHeader(resp, respLen, r)) return false;
    if (!r.isResponse() || r.r_ID != q.r_ID || r.opcode() != q.opcode() || r.r_QDCOUNT != q.r_QDCOUNT)
        return false;
    try {
        size_t qo = kelDNSHeaderSize;
        size_t ro = kelDNSHeaderSize;
        for (uint16_t i = 0; i < q.r_QDCOUNT; ++i) {
            std::string qn;
            std::string rn;
            uint16_t qt = 0, qc = 0, rt = 0, rc = 0;
            if (!readQuestion(req, reqLen, qo, qn, qt, qc) || !readQuestion(resp, respLen, ro, rn, rt, rc))
                return false;
            if (qt != rt || qc != rc || !dnsSameName(qn, rn)) return false;
        }
    } catch (...) {
        return false;
    }
    return true;
}
