#pragma once

// Incremental reader of HTTP-style messages (HTTP, RTSP, SHOUTcast/Icecast
// answers): a start line, header lines "Name: value", an empty line, then a
// body of Content-Length bytes (or up to the end of the connection).
//
// The parser keeps the bytes as they arrived and answers every question by
// scanning them again; nothing is copied into a structure. Lines end at LF,
// CR LF or a lone CR; they are trimmed of blanks and control characters at
// both ends and decoded as UTF-8. Empty lines before the start line are
// skipped (a peer may send CR LF between messages).
//
// Buffering is bounded: a header that has not ended within maxHeaderSize
// bytes, or a message that outgrows maxHeaderSize + maxBodySize bytes, sets
// overflow(), and the bytes past the bound are refused. The owner answers
// with an error and closes the connection.
//
// Not thread-safe: each parser belongs to one thread at a time (its owner's
// socket thread).

#include <cstdint>
#include <string>
#include <string_view>

#include "core/kelObject.h"
#include "core/kelTypes.h"

constexpr uintptr_t kelHTTPDefaultMaxHeaderSize = 64 * 1024;
constexpr uintptr_t kelHTTPDefaultMaxBodySize = 16 * 1024 * 1024;

class kelHTTPparser : public kelObject
{
public:
    kelHTTPparser();

    // Empties the buffer and clears overflow().
    void cleanup();
    // Appends `len` bytes; nothing for no data or len <= 0. Returns false
    // when bytes were refused because a bound was reached (see overflow()).
    bool feed(const void* data, intptr_t len);
    bool feed(std::string_view bytes) { return feed(bytes.data(), static_cast<intptr_t>(bytes.size())); }

    // True once the empty line ending the header has arrived (LF LF,
    // CR LF CR LF or CR CR, whichever comes first).
    bool headerComplete() const;
    // Bytes of the header including its terminating empty line; 0 while
    // the header is incomplete.
    uintptr_t headerSize() const { return headerComplete() ? f_headerSize : 0; }
    uintptr_t dataSize() const { return f_bufSize; }
    const uint8_t* dataP() const { return reinterpret_cast<const uint8_t*>(f_buf.data()); }
    bool overflow() const { return f_overflow; }

    void setLimits(uintptr_t maxHeaderSize, uintptr_t maxBodySize);
    uintptr_t maxHeaderSize() const { return f_maxHeaderSize; }
    uintptr_t maxBodySize() const { return f_maxBodySize; }

    // Start line pieces: "METHOD URI PROTO" of a request, "PROTO CODE REASON"
    // of a status line.
    kelString getReqMethod() const;
    kelString getReqURI() const;
    kelString getReqProtoVersion() const;
    kelString getRespProtoVersion() const { return getReqMethod(); }
    // The status code, -1 when the second piece is not a decimal number.
    intptr_t getRespCode() const;
    kelString getRespCodeString() const { return getReqProtoVersion(); }

    intptr_t getHeaderCount() const;
    // Header line `index` (0 = the first after the start line) up to the
    // delimiter, or the whole line when it has none; empty past the header.
    kelString getHeaderName(intptr_t index) const;
    kelString getHeaderValue(intptr_t index, bool trim) const;
    // Value of the first header named `headerName` (ASCII case ignored).
    kelString getHeaderValue(const kelString& headerName, bool trim) const;

    // Content-Length capped at the bytes received after the header; without
    // a usable Content-Length (missing, not a number, negative), every byte
    // after the header.
    intptr_t getPayloadSize() const;
    // True when the body is complete. Without a usable Content-Length the
    // body is `defaultCL` bytes long; a negative length means "up to the
    // end of the connection", complete only once `connected` is false.
    bool getPayloadComplete(bool connected, intptr_t defaultCL) const;
    // The body bytes (getPayloadSize of them); empty while the header is
    // incomplete.
    std::string getPayload() const;
    // The header bytes including the terminating empty line.
    std::string getFullHeader() const;
    // Removes one complete message (header plus its body length, `defaultCL`
    // when it has no usable Content-Length) from the front of the buffer,
    // keeping whatever follows it. False when no message is complete.
    bool dropIfComplete(intptr_t defaultCL);

protected:
    // One line of the buffer: [begin, end) are its trimmed bytes, `next`
    // where the following line starts.
    struct Line
    {
        uintptr_t begin = 0;
        uintptr_t end = 0;
        uintptr_t next = 0;
        bool empty() const { return begin == end; }
    };
    // Reads the line at `offset`; false when no terminator follows it.
    bool lineAt(uintptr_t offset, Line& line) const;
    // Offset of the start line's successor, false when it has not arrived.
    bool startLine(Line& line) const;
    bool headerLine(intptr_t index, Line& line) const;
    kelString lineText(const Line& line) const;
    // Content-Length as a number, -1 when missing, not a number or negative.
    intptr_t contentLength() const;

    std::string f_buf;
    uintptr_t f_bufSize = 0;
    mutable uintptr_t f_headerSize = 0;
    char16_t f_headerDelimiter = u':';

private:
    mutable uintptr_t f_scanFrom = 0; // the header end does not start before this
    uintptr_t f_maxHeaderSize = kelHTTPDefaultMaxHeaderSize;
    uintptr_t f_maxBodySize = kelHTTPDefaultMaxBodySize;
    bool f_overflow = false;
};
