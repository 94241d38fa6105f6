// HTTP-style message reader.
//
//   start-line CRLF                 "DESCRIBE rtsp://h/s RTSP/1.0" or "RTSP/1.0 200 OK"
//   *( name ":" value CRLF )        RFC 7230 section 3.2, RFC 2326 section 4
//   CRLF
//   body                            Content-Length bytes, or up to the close
//
// Lines may also end in a bare LF or CR, as some servers send them.
#include "net/protocols/kelHTTPparser.h"

#include <algorithm>
#include <limits>

#include "core/kelTextUtils.h"
#include "net/protocols/kelDecimal.h"
#include "core/kelUtf.h"

namespace {

bool isTrimmed(char c)
{
    return static_cast<unsigned char>(c) <= 0x20;
}

} // namespace

kelHTTPparser::kelHTTPparser() = default;

void kelHTTPparser::cleanup()
{
    f_buf.clear();
    f_bufSize = 0;
    f_headerSize = 0;
    f_scanFrom = 0;
    f_overflow = false;
}

void kelHTTPparser::setLimits(uintptr_t maxHeaderSize, uintptr_t maxBodySize)
{
    f_maxHeaderSize = maxHeaderSize;
    f_maxBodySize = maxBodySize;
}

bool kelHTTPparser::feed(const void* data, intptr_t len)
{
    if (!data || len <= 0) return true;
    if (f_overflow) return false;
    uintptr_t bound = f_maxHeaderSize + f_maxBodySize;
    uintptr_t room = f_bufSize < bound ? bound - f_bufSize : 0;
    uintptr_t take = std::min<uintptr_t>(static_cast<uintptr_t>(len), room);
    f_buf.append(static_cast<const char*>(data), take);
    f_bufSize = f_buf.size();
    if (take < static_cast<uintptr_t>(len)) f_overflow = true;
    if (headerComplete() ? f_headerSize > f_maxHeaderSize : f_bufSize > f_maxHeaderSize) f_overflow = true;
    return !f_overflow;
}

bool kelHTTPparser::headerComplete() const
{
    if (f_headerSize) return true;
    const char* b = f_buf.data();
    uintptr_t n = f_bufSize;
    for (uintptr_t i = f_scanFrom; i + 1 < n; ++i) {
        uintptr_t size = 0;
        if (b[i] == '\n' && b[i + 1] == '\n')
            size = 2;
        else if (b[i] == '\r' && b[i + 1] == '\r')
            size = 2;
        else if (b[i] == '\r' && i + 3 < n && b[i + 1] == '\n' && b[i + 2] == '\r' && b[i + 3] == '\n')
            size = 4;
        if (size) {
            f_headerSize = i + size;
            return true;
        }
    }
    // Resume where a terminator split across two feeds could start.
    f_scanFrom = n > 3 ? n - 3 : 0;
    return false;
}

bool kelHTTPparser::lineAt(uintptr_t offset, Line& line) const
{
    uintptr_t limit = headerComplete() ? f_headerSize : f_bufSize;
    const char* b = f_buf.data();
    uintptr_t i = offset;
    while (i < limit && b[i] != '\n' && b[i] != '\r')
        ++i;
    if (i >= limit) return false;
    line.next = (b[i] == '\r' && i + 1 < limit && b[i + 1] == '\n') ? i + 2 : i + 1;
    uintptr_t begin = offset, end = i;
    while (begin < end && isTrimmed(b[begin]))
        ++begin;
    while (end > begin && isTrimmed(b[end - 1]))
        --end;
    line.begin = begin;
    line.end = end;
    return true;
}

bool kelHTTPparser::startLine(Line& line) const
{
    uintptr_t offset = 0;
    while (lineAt(offset, line)) {
        if (!line.empty()) return true;
        offset = line.next;
    }
    return false;
}

bool kelHTTPparser::headerLine(intptr_t index, Line& line) const
{
    if (index < 0 || !startLine(line)) return false;
    for (intptr_t k = 0;; ++k) {
        if (!lineAt(line.next, line) || line.empty()) return false;
        if (k == index) return true;
    }
}

kelString kelHTTPparser::lineText(const Line& line) const
{
    return utf8ToUtf16(f_buf.data() + line.begin, line.end - line.begin);
}

kelString kelHTTPparser::getReqMethod() const
{
    Line line;
    if (!startLine(line)) return {};
    kelString text = lineText(line);
    return text.substr(0, text.find(u' '));
}

kelString kelHTTPparser::getReqURI() const
{
    Line line;
    if (!startLine(line)) return {};
    kelString text = lineText(line);
    size_t first = text.find(u' ');
    if (first == kelString::npos) return {};
    size_t second = text.find(u' ', first + 1);
    return text.substr(first + 1, second == kelString::npos ? kelString::npos : second - first - 1);
}

kelString kelHTTPparser::getReqProtoVersion() const
{
    Line line;
    if (!startLine(line)) return {};
    kelString text = lineText(line);
    size_t first = text.find(u' ');
    if (first == kelString::npos) return {};
    size_t second = text.find(u' ', first + 1);
    if (second == kelString::npos) return {};
    return text.substr(second + 1);
}

intptr_t kelHTTPparser::getRespCode() const
{
    return kelParseDecimal(getReqURI());
}

intptr_t kelHTTPparser::getHeaderCount() const
{
    Line line;
    if (!startLine(line)) return 0;
    intptr_t count = 0;
    while (lineAt(line.next, line) && !line.empty())
        ++count;
    return count;
}

kelString kelHTTPparser::getHeaderName(intptr_t index) const
{
    Line line;
    if (!headerLine(index, line)) return {};
    kelString text = lineText(line);
    size_t at = text.find(f_headerDelimiter);
    if (at == kelString::npos) return text;
    return trimText(std::u16string_view(text).substr(0, at), false, true);
}

kelString kelHTTPparser::getHeaderValue(intptr_t index, bool trim) const
{
    Line line;
    if (!headerLine(index, line)) return {};
    kelString text = lineText(line);
    size_t at = text.find(f_headerDelimiter);
    if (at == kelString::npos) return {};
    kelString value = text.substr(at + 1);
    return trim ? trimText(value) : value;
}

kelString kelHTTPparser::getHeaderValue(const kelString& headerName, bool trim) const
{
    Line line;
    if (!startLine(line)) return {};
    while (lineAt(line.next, line) && !line.empty()) {
        kelString text = lineText(line);
        size_t at = text.find(f_headerDelimiter);
        if (at == kelString::npos) continue;
        std::u16string_view name = std::u16string_view(text).substr(0, at);
        while (!name.empty() && name.back() <= u' ')
            name.remove_suffix(1);
        if (compareText(name, headerName, true) != 0) continue;
        kelString value = text.substr(at + 1);
        return trim ? trimText(value) : value;
    }
    return {};
}

intptr_t kelHTTPparser::contentLength() const
{
    return kelParseDecimal(trimText(getHeaderValue(kelString(u"Content-Length"), true)));
}

intptr_t kelHTTPparser::getPayloadSize() const
{
    if (!headerComplete()) return 0;
    intptr_t after = static_cast<intptr_t>(f_bufSize - f_headerSize);
    intptr_t cl = contentLength();
    return cl < 0 ? after : std::min(cl, after);
}

bool kelHTTPparser::getPayloadComplete(bool connected, intptr_t defaultCL) const
{
    if (!headerComplete()) return false;
    intptr_t cl = contentLength();
    if (cl < 0) cl = defaultCL;
    if (cl < 0) return !connected;
    return f_bufSize - f_headerSize >= static_cast<uintptr_t>(cl);
}

std::string kelHTTPparser::getPayload() const
{
    if (!headerComplete()) return {};
    return f_buf.substr(f_headerSize, static_cast<size_t>(getPayloadSize()));
}

std::string kelHTTPparser::getFullHeader() const
{
    if (!headerComplete()) return {};
    return f_buf.substr(0, f_headerSize);
}

bool kelHTTPparser::dropIfComplete(intptr_t defaultCL)
{
    if (!getPayloadComplete(true, defaultCL)) return false;
    intptr_t cl = contentLength();
    if (cl < 0) cl = defaultCL;
    uintptr_t used = f_headerSize + static_cast<uintptr_t>(cl);
    if (used >= f_bufSize) {
        cleanup();
        return true;
    }
    f_buf.erase(0, used);
    f_bufSize = f_buf.size();
    f_headerSize = 0;
    f_scanFrom = 0;
    return true;
}
