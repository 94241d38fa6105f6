#pragma once

// Session description reader (RFC 4566). The SDP text is fed behind a dummy
// start line into the HTTP-style reader with "=" as the header delimiter, so
// every SDP line becomes a header named by its type letter; the lines are
// then walked in the order RFC 4566 section 5 prescribes:
//
//   v o s i u e p c b* (t r*)* z k a*      session level
//   (m i c b* k a*)*                       media level, lines in any order
//
// A line out of that order ends the walk; what was read before stays.
//
// Not thread-safe: one thread uses a parser at a time.

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/kelList.h"
#include "core/kelTypes.h"
#include "net/protocols/kelHTTPparser.h"

// "o=" username sess-id sess-version nettype addrtype unicast-address
struct kelSDPSessionInfo
{
    kelString r_username;
    kelString r_sessid;
    kelString r_sessversion;
    kelString r_nettype;
    kelString r_addrtype;
    kelString r_unicastAddress;
};

// "c=" nettype addrtype connection-address[/ttl][/number of addresses]
struct kelSDPConnectionInfo
{
    kelString r_netType;
    kelString r_addrType;
    kelString r_connAddr;
    int32_t r_ttl = -1;
    int32_t r_numberOfAddresses = 1;
};

// One "m=" block. Attribute values are kept without their "name:" prefix;
// several values of one kind are separated by CR LF.
struct kelSDPMediaDescription
{
    kelString r_type;
    kelString r_port;
    kelString r_proto;
    intptr_t r_format = -1; // first format number, -1 when it is not one
    kelString r_control;    // "control:" values, joined, trimmed
    kelString r_rtpmap;     // "rtpmap:" values, joined, trimmed
    kelString r_fmtp;       // "fmtp:" values, each followed by CR LF
    kelString r_i;
    kelSDPConnectionInfo r_c; // r_ttl -1 until a media "c" line is read
    kelString r_b;            // each followed by CR LF
    kelString r_k;
    kelString r_a; // every media "a" line, each followed by CR LF
};

// A record list of media descriptions that it owns and destroys.
class kelSDPMDList : public kelRecordList
{
public:
    kelSDPMDList();
    ~kelSDPMDList() override;
    kelString _classID() const override { return u"kelSDPMDList"; }

protected:
    void releaseItem(intptr_t index, uintptr_t doFree) noexcept override;
};

class kelSDPParser : public kelHTTPparser
{
public:
    // Parses the body of `response` when it is given and complete.
    explicit kelSDPParser(const kelHTTPparser* response = nullptr);

    // Parses the body of `response` when it is given and complete (as for a
    // live connection with no default length: it needs a Content-Length).
    void applyPayload(const kelHTTPparser* response);
    // Parses an SDP text; an empty one changes nothing.
    void applyPayload(std::string_view payload);

    intptr_t getMDCount() const { return f_md.count(); }
    // Valid until the next applyPayload or the parser's end; null past the list.
    kelSDPMediaDescription* getMD(intptr_t index);

    kelString f_k;
    kelString f_i;
    std::unique_ptr<kelSDPSessionInfo> f_o;
    kelString f_b;
    kelSDPConnectionInfo f_c;
    kelString f_e;
    kelString f_z;
    kelString f_s;
    kelString f_p;
    intptr_t f_v = -1;
    kelString f_t;
    kelString f_u;
    kelString f_a;
    kelSDPMDList f_md;
};

// Reads a "c=" value into `info` (which is reset first).
void parseSDPConnection(const kelString& value, kelSDPConnectionInfo& info);
