#pragma once
// The wire text of the SHOUTcast/Icecast clients, as pure functions that the
// receiver and source threads, the streaming components, the tests and the
// fuzzers share. No sockets, threads or clocks here.
//
// Every text taken from a caller (paths, host names, agents, passwords,
// ice_* values) goes through kelWireValue first, so that no CR or LF of
// theirs can end a header line early or add one of its own.

#include "core/kelTypes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// `text` without CR, LF and NUL.
std::string kelWireValue(std::string_view text);
// `text` with every byte but the unreserved ones (A-Z a-z 0-9 - . _ ~)
// written as %XX (upper-case hex), for a value inside a query string.
std::string kelPercentEncode(std::string_view text);

// The receiver's request: "GET <path> HTTP/1.0" with Host, User-Agent,
// "Range: bytes=0-" and "Icy-MetaData: 1" (or 0).
std::string kelICYBuildGet(std::string_view path, std::string_view host, std::string_view agent,
                           bool metadata);

// What an Icecast source login carries.
struct kelIcecastLogin
{
    std::string path; // mount point, "/live"
    std::string user; // "source" when empty
    std::string password;
    std::string extraInfo; // goes out as ice-description
    std::string name;
    std::string url;
    std::string genre;
    bool isPublic = false;
};
// "SOURCE <path> HTTP/1.0" with Basic authorisation and the ice-* headers.
std::string kelICYBuildSourceLogin(const kelIcecastLogin& login);
// The DNAS password line.
std::string kelICYBuildDNASPassword(std::string_view password);
// The stream headers a DNAS server expects after its "OK2".
std::string kelICYBuildDNASHeaders(std::string_view genre, std::string_view url, bool isPublic);
// The DNAS title update sent to the server's own port; the password is
// percent-encoded.
std::string kelICYBuildDNASAdmin(std::string_view password);

// How far a source login has got, judged from the bytes the server sent.
struct kelSHOUTAnswer
{
    // 0 more bytes needed, 1 accepted, or a negative code: -4 Icecast
    // answered 401, -5 DNAS refused or Icecast answered another status
    // (iceCode), -2 the answer cannot be a status at all.
    intptr_t state = 0;
    intptr_t iceCode = 0;
};
// Judges `bytes` received so far. A judgement needs more than 11 bytes, or
// `ended` (the server closed, or its time ran out), in which case what is
// there is judged as it stands.
kelSHOUTAnswer kelSHOUTJudgeAnswer(std::string_view bytes, bool dnas, bool ended);

// The value of `key` (lower case, "streamtitle") in a metadata block
// ("StreamTitle='...';StreamUrl='...';", NUL padded). The key is found
// ignoring case; its value runs from after "='" to the next "';", else to the
// last "'", else to the end of the block; NUL bytes are left out. Decoded as
// UTF-8; empty when the key is missing.
kelString kelICYMetadataValue(std::string_view block, std::string_view key);

// Where a redirect leads: `location` when absolute ("scheme://..."), with
// the current scheme for "//host/...", on the current server for "/path",
// or beside the current path for a relative one. Empty when `current` does
// not split or `location` is empty.
kelString kelICYResolveLocation(const kelString& current, const kelString& location);

// Redirect statuses the receiver follows, and how many in a row.
bool kelICYIsRedirect(intptr_t status) noexcept;
inline constexpr int kelICYMaxRedirects = 5;
