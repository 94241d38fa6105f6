#pragma once
// kelDNSRR: one question or resource record of a DNS message, with its
// record data read into a typed object (kelDNSRR_subType and one class per
// known type). Parsing reads whole fields only: a record whose fixed fields,
// names or strings do not fit its bytes fails, and nothing is kept of it.
// Pure wire code (no socket, thread or clock); an object is used by one
// thread at a time. Record data points into the message, which must outlive
// the record (a kelDNSQuery keeps both).

#include "core/kelObject.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class kelDNSRR;

// Record types with typed data.
inline constexpr int kelDNSType_A = 1;
inline constexpr int kelDNSType_NS = 2;
inline constexpr int kelDNSType_CNAME = 5;
inline constexpr int kelDNSType_SOA = 6;
inline constexpr int kelDNSType_PTR = 12;
inline constexpr int kelDNSType_MX = 15;
inline constexpr int kelDNSType_TXT = 16;
inline constexpr int kelDNSType_RP = 17;
inline constexpr int kelDNSType_AAAA = 28;
inline constexpr int kelDNSType_SRV = 33;
inline constexpr int kelDNSType_NAPTR = 35;
inline constexpr int kelDNSType_RRSIG = 46;
inline constexpr int kelDNSType_NSEC = 47;
inline constexpr int kelDNSType_DNSKEY = 48;
inline constexpr int kelDNSType_NSEC3PARAM = 51;

class kelDNSRR_subType : public kelObject
{
public:
    explicit kelDNSRR_subType(kelDNSRR* parser) noexcept : f_parser(parser) {}
    // Reads the record data msg[ofs, maxOfs) of the message (msgLen bytes,
    // which names may point into). False when a field does not fit.
    virtual bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) = 0;
    kelDNSRR* parser() const noexcept { return f_parser; }

protected:
    kelDNSRR* f_parser;
};

// The typed record-data object for `type`, null for types without one.
std::unique_ptr<kelDNSRR_subType> kelDNSRRMakeSubType(int type, kelDNSRR* parser);

class kelDNSRR : public kelObject
{
public:
    // Reads a record at `ofs` of msg[0, len) and moves `ofs` past it.
    // Questions have name, type and class only. False for a record that
    // does not fit; the record is then left empty.
    bool parse(const uint8_t* msg, size_t len, size_t& ofs, bool isQuestion);

    bool isQuestion() const noexcept { return f_isQuestion; }
    const std::string& rname() const noexcept { return f_name; }
    intptr_t rtype() const noexcept { return f_type; }
    intptr_t rclass() const noexcept { return f_class; }
    uint32_t rttl() const noexcept { return f_ttl; }
    intptr_t rdlen() const noexcept { return f_rdlen; }
    const uint8_t* rdata() const noexcept { return f_rdata; }
    kelDNSRR_subType* rdataObj() const noexcept { return f_rdataObj.get(); }
    // The typed data as T, null when it is another type or absent.
    template <class T> T* data() const noexcept { return dynamic_cast<T*>(f_rdataObj.get()); }

    kelString _classID() const override { return u"kelDNSRR"; }

private:
    std::string f_name;
    intptr_t f_type = 0;
    intptr_t f_class = 0;
    uint32_t f_ttl = 0;
    intptr_t f_rdlen = 0;
    const uint8_t* f_rdata = nullptr;
    bool f_isQuestion = false;
    std::unique_ptr<kelDNSRR_subType> f_rdataObj;
};

class kelDNSRR_A : public kelDNSRR_subType
{
public:
    using kelDNSRR_subType::kelDNSRR_subType;
    bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) override;
    // Host order.
    uint32_t ip() const noexcept { return f_ip; }

private:
    uint32_t f_ip = 0;
};

// NS, CNAME and PTR: one name.
class kelDNSRR_NS : public kelDNSRR_subType
{
public:
    using kelDNSRR_subType::kelDNSRR_subType;
    bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) override;
    const std::string& ns() const noexcept { return f_ns; }

private:
    std::string f_ns;
};

class kelDNSRR_CNAME : public kelDNSRR_subType
{
public:
    using kelDNSRR_subType::kelDNSRR_subType;
    bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) override;
    const std::string& cname() const noexcept { return f_cname; }

private:
    std::string f_cname;
};

class kelDNSRR_PTR : public kelDNSRR_subType
{
public:
    using kelDNSRR_subType::kelDNSRR_subType;
    bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) override;
    const std::string& domain() const noexcept { return f_domain; }

private:
    std::string f_domain;
};

class kelDNSRR_SOA : public kelDNSRR_subType
{
public:
    using kelDNSRR_subType::kelDNSRR_subType;
    bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) override;
    const std::string& mname() const noexcept { return f_mname; }
    const std::string& rname() const noexcept { return f_rname; }
    uint32_t serial() const noexcept { return f_serial; }
    uint32_t refresh() const noexcept { return f_refresh; }
    uint32_t retry() const noexcept { return f_retry; }
    uint32_t expire() const noexcept { return f_expire; }
    uint32_t minimum() const noexcept { return f_min; }

private:
    std::string f_mname;
    std::string f_rname;
    uint32_t f_serial = 0;
    uint32_t f_refresh = 0;
    uint32_t f_retry = 0;
    uint32_t f_expire = 0;
    uint32_t f_min = 0;
};

class kelDNSRR_MX : public kelDNSRR_subType
{
public:
    using kelDNSRR_subType::kelDNSRR_subType;
    bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) override;
    uint16_t preference() const noexcept { return f_pref; }
    const std::string& exchange() const noexcept { return f_exchange; }

private:
    uint16_t f_pref = 0;
    std::string f_exchange;
};

class kelDNSRR_TXT : public kelDNSRR_subType
{
public:
    using kelDNSRR_subType::kelDNSRR_subType;
    bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) override;
    // The first character-string.
    const std::string& text() const noexcept { return f_text; }
    // Every character-string of the record, in order.
    const std::vector<std::string>& strings() const noexcept { return f_strings; }

private:
    std::string f_text;
    std::vector<std::string> f_strings;
};

class kelDNSRR_RP : public kelDNSRR_subType
{
public:
    using kelDNSRR_subType::kelDNSRR_subType;
    bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) override;
    const std::string& mbox() const noexcept { return f_mbox; }
    const std::string& dname() const noexcept { return f_dname; }

private:
    std::string f_mbox;
    std::string f_dname;
};

class kelDNSRR_AAAA : public kelDNSRR_subType
{
public:
    using kelDNSRR_subType::kelDNSRR_subType;
    bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) override;
    const uint8_t* ip() const noexcept { return f_ip; }

private:
    uint8_t f_ip[16] = {};
};

class kelDNSRR_SRV : public kelDNSRR_subType
{
public:
    using kelDNSRR_subType::kelDNSRR_subType;
    bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) override;
    uint16_t priority() const noexcept { return f_priority; }
    uint16_t weight() const noexcept { return f_weight; }
    uint32_t port() const noexcept { return f_port; }
    // "." when the service is not offered at this domain (RFC 2782).
    const std::string& target() const noexcept { return f_target; }

private:
    uint16_t f_priority = 0;
    uint16_t f_weight = 0;
    uint32_t f_port = 0;
    std::string f_target;
};

class kelDNSRR_NAPTR : public kelDNSRR_subType
{
public:
    using kelDNSRR_subType::kelDNSRR_subType;
    bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) override;
    uint16_t order() const noexcept { return f_order; }
    uint16_t pref() const noexcept { return f_pref; }
    const std::string& flags() const noexcept { return f_flags; }
    const std::string& services() const noexcept { return f_services; }
    const std::string& regexp() const noexcept { return f_regexp; }
    const std::string& replace() const noexcept { return f_replace; }

private:
    uint16_t f_order = 0;
    uint16_t f_pref = 0;
    std::string f_flags;
    std::string f_services;
    std::string f_regexp;
    std::string f_replace;
};

class kelDNSRR_RRSIG : public kelDNSRR_subType
{
public:
    using kelDNSRR_subType::kelDNSRR_subType;
    bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) override;
    uint16_t typeCovered() const noexcept { return f_typeCovered; }
    uint8_t algo() const noexcept { return f_algo; }
    uint8_t labels() const noexcept { return f_labels; }
    uint32_t originalTTL() const noexcept { return f_originalTTL; }
    uint32_t signatureExpiration() const noexcept { return f_signatureExpiration; }
    uint32_t signatureInception() const noexcept { return f_signatureInception; }
    uint16_t keyTag() const noexcept { return f_keyTag; }
    // The signer's whole name (RFC 4034 section 3.1.7).
    const std::string& signer() const noexcept { return f_signer; }
    const std::string& signature() const noexcept { return f_signature; }

private:
    uint16_t f_typeCovered = 0;
    uint8_t f_algo = 0;
    uint8_t f_labels = 0;
    uint32_t f_originalTTL = 0;
    uint32_t f_signatureExpiration = 0;
    uint32_t f_signatureInception = 0;
    uint16_t f_keyTag = 0;
    std::string f_signer;
    std::string f_signature;
};

class kelDNSRR_DNSKEY : public kelDNSRR_subType
{
public:
    using kelDNSRR_subType::kelDNSRR_subType;
    bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) override;
    // Flags bit 0x0100 and bit 0x0001 (RFC 4034 section 2.1.1).
    bool zoneKey() const noexcept { return f_zoneKF; }
    bool secureEntryPoint() const noexcept { return f_SEP; }
    uint8_t proto() const noexcept { return f_proto; }
    uint8_t algo() const noexcept { return f_algo; }
    const std::string& pubKey() const noexcept { return f_pubKey; }

private:
    bool f_zoneKF = false;
    bool f_SEP = false;
    uint8_t f_proto = 0;
    uint8_t f_algo = 0;
    std::string f_pubKey;
};

class kelDNSRR_NSEC : public kelDNSRR_subType
{
public:
    using kelDNSRR_subType::kelDNSRR_subType;
    bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) override;
    const std::string& nextDomain() const noexcept { return f_nextDomain; }
    const std::string& bitmap() const noexcept { return f_bitmap; }

private:
    std::string f_nextDomain;
    std::string f_bitmap;
};

class kelDNSRR_NSEC3PARAM : public kelDNSRR_subType
{
public:
    using kelDNSRR_subType::kelDNSRR_subType;
    bool parseRData(const uint8_t* msg, size_t msgLen, size_t maxOfs, size_t ofs) override;
    uint8_t algo() const noexcept { return f_algo; }
    uint8_t flags() const noexcept { return f_flags; }
    uint16_t iterations() const noexcept { return f_iterations; }
    // Upper-case hex, "-" when empty.
    const std::string& salt() const noexcept { return f_salt; }

private:
    uint8_t f_algo = 0;
    uint8_t f_flags = 0;
    uint16_t f_iterations = 0;
    std::string f_salt;
};

// The four sections of a message: questions, answers, authority,
// additional.
struct kelDNSSections
{
    std::vector<std::unique_ptr<kelDNSRR>> s[4];
};

// Parses every section of the whole message msg[0, len) into `out`
// (questions flagged). False, `out` unchanged, when a record does not fit or
// the counts announce more records than the bytes hold; a truncated (TC)
// message keeps the records that came whole and stops there instead.
bool dnsParseMessage(const uint8_t* msg, size_t len, kelDNSSections& out);
