#include "net/protocols/kelDNSRR.h"

#include "core/kelByteOrder.h"
#include "net/protocols/kelDNSWire.h"

namespace {

// A name whose own bytes lie in [ofs, end); `ofs` moves past them.
bool readName(const uint8_t* msg, size_t msgLen, size_t end, size_t& ofs, std::string& name)
{
    size_t next = 0;
    if (!dnsDecodeName(msg, msgLen, ofs, end, name, next)) return false;
    ofs = next;
    return true;
}

std::string rest(const uint8_t* msg, size_t ofs, size_t end)
{
    return ofs < end ? std::string(reinterpret_cast<const char*>(msg + ofs), end - ofs) : std::string();
}

} // namespace

std::unique_ptr<kelDNSRR_subType> kelDNSRRMakeSubType(int type, kelDNSRR* parser)
{
    switch (type) {
    case kelDNSType_A:
        return std::make_unique<kelDNSRR_A>(parser);
    case kelDNSType_NS:
        return std::make_unique<kelDNSRR_NS>(parser);
    case kelDNSType_CNAME:
        return std::make_unique<kelDNSRR_CNAME>(parser);
    case kelDNSType_SOA:
        return std::make_unique<kelDNSRR_SOA>(parser);
    case kelDNSType_PTR:
        return std::make_unique<kelDNSRR_PTR>(parser);
    case kelDNSType_MX:
        return std::make_unique<kelDNSRR_MX>(parser);
    case kelDNSType_TXT:
        return std::make_unique<kelDNSRR_TXT>(parser);
    case kelDNSType_RP:
        return std::make_unique<kelDNSRR_RP>(parser);
    case kelDNSType_AAAA:
        return std::make_unique<kelDNSRR_AAAA>(parser);
    case kelDNSType_SRV:
        return std::make_unique<kelDNSRR_SRV>(parser);
    case kelDNSType_NAPTR:
        return std::make_unique<kelDNSRR_NAPTR>(parser);
    case kelDNSType_RRSIG:
        return std::make_unique<kelDNSRR_RRSIG>(parser);
    case kelDNSType_NSEC:
        return std::make_unique<kelDNSRR_NSEC>(parser);
    case kelDNSType_DNSKEY:
        return std::make_unique<kelDNSRR_DNSKEY>(parser);
    case kelDNSType_NSEC3PARAM:
        return std::make_unique<kelDNSRR_NSEC3PARAM>(parser);
    default:
        return nullptr;
    }
}

bool kelDNSRR::parse(const uint8_t* msg, size_t len, size_t& ofs, bool isQuestion)
{
    std::string name;
    size_t pos = 0;
    if (!dnsDecodeName(msg, len, ofs, len, name, pos) || len - pos < 4) return false;
    const int type = kelLoadBE16(msg + pos);
    const int cls = kelLoadBE16(msg + pos + 2);
    pos += 4;
    uint32_t ttl = 0;
    size_t rdlen = 0;
    std::unique_ptr<kelDNSRR_subType> obj;
    if (!isQuestion) {
        if (len - pos < 6) return false;
        ttl = kelLoadBE32(msg + pos);
        rdlen = kelLoadBE16(msg + pos + 4);
        pos += 6;
        if (len - pos < rdlen) return false;
        obj = kelDNSRRMakeSubType(type, this);
        if (obj && !obj->parseRData(msg, len, pos + rdlen, pos)) return false;
    }
    f_name = std::move(name);
    f_type = type;
    f_class = cls;
    f_ttl = ttl;
    f_rdlen = static_cast<intptr_t>(rdlen);
    f_rdata = isQuestion ? nullptr : msg + pos;
    f_isQuestion = isQuestion;
    f_rdataObj = std::move(obj);
    ofs = pos + rdlen;
    return true;
}

bool kelDNSRR_A::parseRData(const uint8_t* msg, size_t, size_t maxOfs, size_t ofs)
{
    if (maxOfs - ofs >= 4) f_ip = kelLoadBE32(msg + ofs);
    return true;
}

bool kelDNSRR_NS::parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs)
{
    return readName(msg, msgLen, maxOfs, ofs, f_ns);
}

bool kelDNSRR_CNAME::parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs)
{
    return readName(msg, msgLen, maxOfs, ofs, f_cname);
}

bool kelDNSRR_PTR::parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs)
{
    return readName(msg, msgLen, maxOfs, ofs, f_domain);
}

bool kelDNSRR_SOA::parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs)
{
    if (!readName(msg, msgLen, maxOfs, ofs, f_mname) || !readName(msg, msgLen, maxOfs, ofs, f_rname))
        return false;
    if (maxOfs - ofs >= 20) {
        f_serial = kelLoadBE32(msg + ofs);
        f_refresh = kelLoadBE32(msg + ofs + 4);
        f_retry = kelLoadBE32(msg + ofs + 8);
        f_expire = kelLoadBE32(msg + ofs + 12);
        f_min = kelLoadBE32(msg + ofs + 16);
    }
    return true;
}

bool kelDNSRR_MX::parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs)
{
    if (maxOfs - ofs <= 1) return true;
    f_pref = kelLoadBE16(msg + ofs);
    ofs += 2;
    return readName(msg, msgLen, maxOfs, ofs, f_exchange);
}

bool kelDNSRR_TXT::parseRData(const uint8_t* msg, size_t, size_t maxOfs, size_t ofs)
{
    std::vector<std::string> strings;
    while (ofs < maxOfs) {
        std::string s;
        if (!dnsReadString(msg, maxOfs, ofs, s)) return false;
        strings.push_back(std::move(s));
    }
    f_text = strings.empty() ? std::string() : strings.front();
    f_strings = std::move(strings);
    return true;
}

bool kelDNSRR_RP::parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs)
{
    return readName(msg, msgLen, maxOfs, ofs, f_mbox) && readName(msg, msgLen, maxOfs, ofs, f_dname);
}

bool kelDNSRR_AAAA::parseRData(const uint8_t* msg, size_t, size_t maxOfs, size_t ofs)
{
    if (maxOfs - ofs >= 16)
        for (size_t i = 0; i < 16; ++i)
            f_ip[i] = msg[ofs + i];
    return true;
}

bool kelDNSRR_SRV::parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs)
{
    if (maxOfs - ofs <= 5) return true;
    f_priority = kelLoadBE16(msg + ofs);
    f_weight = kelLoadBE16(msg + ofs + 2);
    f_port = kelLoadBE16(msg + ofs + 4);
    ofs += 6;
    return readName(msg, msgLen, maxOfs, ofs, f_target);
}

bool kelDNSRR_NAPTR::parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs)
{
    if (maxOfs - ofs <= 3) return true;
    f_order = kelLoadBE16(msg + ofs);
    f_pref = kelLoadBE16(msg + ofs + 2);
    ofs += 4;
    return dnsReadString(msg, maxOfs, ofs, f_flags) && dnsReadString(msg, maxOfs, ofs, f_services) &&
           dnsReadString(msg, maxOfs, ofs, f_regexp) && readName(msg, msgLen, maxOfs, ofs, f_replace);
}

bool kelDNSRR_RRSIG::parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs)
{
    if (maxOfs - ofs <= 17) return true;
    f_typeCovered = kelLoadBE16(msg + ofs);
    f_algo = msg[ofs + 2];
    f_labels = msg[ofs + 3];
    f_originalTTL = kelLoadBE32(msg + ofs + 4);
    f_signatureExpiration = kelLoadBE32(msg + ofs + 8);
    f_signatureInception = kelLoadBE32(msg + ofs + 12);
    f_keyTag = kelLoadBE16(msg + ofs + 16);
    ofs += 18;
    if (!readName(msg, msgLen, maxOfs, ofs, f_signer)) return false;
    f_signature = rest(msg, ofs, maxOfs);
    return true;
}

bool kelDNSRR_DNSKEY::parseRData(const uint8_t* msg, size_t, size_t maxOfs, size_t ofs)
{
    if (maxOfs - ofs <= 3) return true;
    const uint16_t flags = kelLoadBE16(msg + ofs);
    f_zoneKF = (flags & 0x0100) != 0;
    f_SEP = (flags & 0x0001) != 0;
    f_proto = msg[ofs + 2];
    f_algo = msg[ofs + 3];
    f_pubKey = rest(msg, ofs + 4, maxOfs);
    return true;
}

bool kelDNSRR_NSEC::parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs)
{
    if (!readName(msg, msgLen, maxOfs, ofs, f_nextDomain)) return false;
    f_bitmap = rest(msg, ofs, maxOfs);
    return true;
}

bool kelDNSRR_NSEC3PARAM::parseRData(const uint8_t* msg, size_t, size_t maxOfs, size_t ofs)
{
    if (maxOfs - ofs < 5) return true;
    f_algo = msg[ofs];
    f_flags = msg[ofs + 1];
    f_iterations = kelLoadBE16(msg + ofs + 2);
    size_t n = msg[ofs + 4];
    ofs += 5;
    if (n > maxOfs - ofs) n = maxOfs - ofs;
    static const char hex[] = "0123456789ABCDEF";
    std::string salt(n == 0 ? 1 : 2 * n, '-');
    for (size_t i = 0; i < n; ++i) {
        salt[2 * i] = hex[msg[ofs + i] >> 4];
        salt[2 * i + 1] = hex[msg[ofs + i] & 0x0F];
    }
    f_salt = std::move(salt);
    return true;
}

bool dnsParseMessage(const uint8_t* msg, size_t len, kelDNSSections& out)
{
    kelDNS_HDR hdr;
    if (!dnsReadHeader(msg, len, hdr)) return false;
    const uint16_t counts[4] = {hdr.r_QDCOUNT, hdr.r_ANCOUNT, hdr.r_NSCOUNT, hdr.r_ARCOUNT};
    // A question takes at least 5 bytes and a record 11: counts the bytes
    // cannot hold fail before anything is made for them.
    const size_t body = len - kelDNSHeaderSize;
    const size_t least = size_t(counts[0]) * 5 + (size_t(counts[1]) + counts[2] + counts[3]) * 11;
    if (least > body && !hdr.truncated()) return false;
    kelDNSSections parsed;
    size_t ofs = kelDNSHeaderSize;
    for (int section = 0; section < 4; ++section) {
        for (uint16_t i = 0; i < counts[section]; ++i) {
            auto rr = std::make_unique<kelDNSRR>();
            if (!rr->parse(msg, len, ofs, section == 0)) {
                if (!hdr.truncated()) return false;
                for (int k = 0; k < 4; ++k)
                    out.s[k] = std::move(parsed.s[k]);
                return true;
            }
            parsed.s[section].push_back(std::move(rr));
        }
    }
    for (int k = 0; k < 4; ++k)
        out.s[k] = std::move(parsed.s[k]);
    return true;
}
