#include "platform/kelProfileDocument.h"

#include <algorithm>

#include "platform/kelUtf8.h"

namespace {

constexpr char16_t kCR = u'\r';
constexpr char16_t kLF = u'\n';

bool isBlank(char16_t c)
{
    return c <= 32;
}

std::u16string trimmed(const std::u16string& s)
{
    size_t b = 0;
    size_t e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

char16_t foldCase(char16_t c)
{
    if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
    if (c < 0xC0) return c;
    if (c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);                 // Latin-1
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return static_cast<char16_t>(c + 32); // Greek
    if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 32);               // Cyrillic
    if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
    return c;
}

bool hasLineBreakOrNul(const std::u16string& s)
{
    return std::any_of(s.begin(), s.end(), [](char16_t c) { return c == kCR || c == kLF || c == 0; });
}

// Splits decoded text at CR LF, CR or LF. A final line without a break
// counts; an empty text has no lines.
std::vector<std::u16string> splitLines(const std::u16string& text)
{
    std::vector<std::u16string> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != kCR && text[i] != kLF) continue;
        lines.emplace_back(text, start, i - start);
        if (text[i] == kCR && i + 1 < text.size() && text[i + 1] == kLF) ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.emplace_back(text, start);
    return lines;
}

void appendUtf16(const std::u16string& s, bool bigEndian, std::string& out)
{
    for (char16_t c : s) {
        const char lo = static_cast<char>(c & 0xFF);
        const char hi = static_cast<char>(c >> 8);
        out.push_back(bigEndian ? hi : lo);
        out.push_back(bigEndian ? lo : hi);
    }
}

} // namespace

void kelProfileDocument::load(const uint8_t* data, size_t size)
{
    std::u16string text;
    if (size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF))) {
        const bool be = data[0] == 0xFE;
        f_encoding = be ? kelProfileEncoding::utf16be : kelProfileEncoding::utf16le;
        // An odd last byte cannot be a code unit; it is dropped.
        text.reserve((size - 2) / 2);
        for (size_t i = 2; i + 1 < size; i += 2) {
            const uint8_t a = data[i];
            const uint8_t b = data[i + 1];
            text.push_back(static_cast<char16_t>(be ? (a << 8) | b : (b << 8) | a));
        }
    } else if (size == 0) {
        f_encoding = kelProfileEncoding::utf16le;
    } else {
        const bool bom = size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF;
        const size_t skip = bom ? 3 : 0;
        if (kelUtf8ToUtf16Strict(data + skip, size - skip, text)) {
            f_encoding = bom ? kelProfileEncoding::utf8bom : kelProfileEncoding::utf8;
        } else {
            // Not UTF-8: keep every byte as it is so that a rewrite changes
            // only the lines that were edited.
            f_encoding = kelProfileEncoding::latin1;
            text.assign(data, data + size);
        }
    }
    f_lines = splitLines(text);
}

std::string kelProfileDocument::save() const
{
    std::u16string text;
    for (const auto& line : f_lines) {
        text += line;
        text += u"\r\n";
    }
    std::string out;
    switch (f_encoding) {
    case kelProfileEncoding::utf8bom:
    case kelProfileEncoding::utf8:
        // A text that starts with U+FEFF needs a mark before it, or the next
        // load would take that character for the mark.
        if (f_encoding == kelProfileEncoding::utf8bom || (!text.empty() && text[0] == 0xFEFF))
            out = "\xEF\xBB\xBF";
        if (kelUtf16ToUtf8Strict(text, out)) return out;
        break;
    case kelProfileEncoding::latin1:
        if (std::all_of(text.begin(), text.end(), [](char16_t c) { return c <= 0xFF; })) {
            out.assign(text.begin(), text.end());
            // Edits may have removed what made the bytes Latin-1; bytes that
            // would now load as UTF-16 or UTF-8 must not be written as they are.
            std::u16string probe;
            const bool markLike = out.size() >= 2 && ((out[0] == '\xFF' && out[1] == '\xFE') ||
                                                      (out[0] == '\xFE' && out[1] == '\xFF'));
            if (!markLike &&
                !kelUtf8ToUtf16Strict(reinterpret_cast<const uint8_t*>(out.data()), out.size(), probe))
                return out;
        }
        break;
    case kelProfileEncoding::utf16be:
        out = "\xFE\xFF";
        appendUtf16(text, true, out);
        return out;
    case kelProfileEncoding::utf16le:
        break;
    }
    // The text does not fit the old encoding: UTF-16LE holds any of it.
    out = "\xFF\xFE";
    appendUtf16(text, false, out);
    return out;
}

kelProfileDocument::LineInfo kelProfileDocument::classify(const std::u16string& line)
{
    LineInfo info;
    size_t b = 0;
    while (b < line.size() && isBlank(line[b]))
        ++b;
    if (b == line.size() || line[b] == u';') return info;
    if (line[b] == u'[') {
        const size_t close = line.find(u']', b + 1);
        const size_t end = close == std::u16string::npos ? line.size() : close;
        info.kind = LineKind::header;
        info.name = trimmed(line.substr(b + 1, end - b - 1));
        return info;
    }
    const size_t eq = line.find(u'=', b);
    if (eq == std::u16string::npos) return info;
    info.name = trimmed(line.substr(b, eq - b));
    if (info.name.empty()) return info;
    info.kind = LineKind::key;
    info.rawValue = trimmed(line.substr(eq + 1));
    return info;
}

bool kelProfileDocument::sameName(const std::u16string& a, const std::u16string& b)
{
    const std::u16string x = trimmed(a);
    const std::u16string y = trimmed(b);
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i)
        if (foldCase(x[i]) != foldCase(y[i])) return false;
    return true;
}

bool kelProfileDocument::validSection(const std::u16string& section)
{
    return !hasLineBreakOrNul(section) && section.find(u']') == std::u16string::npos;
}

bool kelProfileDocument::validKey(const std::u16string& key)
{
    const std::u16string k = trimmed(key);
    return !k.empty() && !hasLineBreakOrNul(k) && k.find(u'=') == std::u16string::npos && k[0] != u'[' &&
           k[0] != u';';
}

bool kelProfileDocument::validValue(const std::u16string& value)
{
    return !hasLineBreakOrNul(value);
}

std::u16string kelProfileDocument::encodeValue(const std::u16string& value)
{
    if (value.empty()) return value;
    const char16_t first = value.front();
    const char16_t last = value.back();
    const bool looksQuoted = value.size() >= 2 && first == last && (first == u'"' || first == u'\'');
    if (isBlank(first) || isBlank(last) || looksQuoted) return u"\"" + value + u"\"";
    return value;
}

std::vector<kelProfileDocument::Range> kelProfileDocument::sectionRanges(const std::u16string& section) const
{
    std::vector<Range> ranges;
    bool inside = false;
    for (size_t i = 0; i < f_lines.size(); ++i) {
        const LineInfo info = classify(f_lines[i]);
        if (info.kind != LineKind::header) continue;
        if (inside) ranges.back().end = i;
        inside = sameName(info.name, section);
        if (inside) ranges.push_back({i + 1, f_lines.size()});
    }
    return ranges;
}

bool kelProfileDocument::hasSection(const std::u16string& section) const
{
    return !sectionRanges(section).empty();
}

bool kelProfileDocument::find(const std::u16string& section, const std::u16string& key,
                              std::u16string& value) const
{
    for (const Range& r : sectionRanges(section)) {
        for (size_t i = r.begin; i < r.end; ++i) {
            const LineInfo info = classify(f_lines[i]);
            if (info.kind != LineKind::key || !sameName(info.name, key)) continue;
            value = info.rawValue;
            const bool quoted = value.size() >= 2 && value.front() == value.back() &&
                                (value.front() == u'"' || value.front() == u'\'');
            if (quoted) value = value.substr(1, value.size() - 2);
            return true;
        }
    }
    return false;
}

std::vector<std::u16string> kelProfileDocument::sectionLines(const std::u16string& section) const
{
    std::vector<std::u16string> out;
    for (const Range& r : sectionRanges(section)) {
        for (size_t i = r.begin; i < r.end; ++i) {
            const LineInfo info = classify(f_lines[i]);
            if (info.kind == LineKind::key) out.push_back(info.name + u"=" + info.rawValue);
        }
    }
    return out;
}

bool kelProfileDocument::setValue(const std::u16string& section, const std::u16string& key,
                                  const std::u16string& value)
{
    if (!validSection(section) || !validKey(key) || !validValue(value)) return false;
    const std::u16string line = trimmed(key) + u"=" + encodeValue(value);
    const std::vector<Range> ranges = sectionRanges(section);
    for (const Range& r : ranges) {
        for (size_t i = r.begin; i < r.end; ++i) {
            const LineInfo info = classify(f_lines[i]);
            if (info.kind == LineKind::key && sameName(info.name, key)) {
                f_lines[i] = line;
                return true;
            }
        }
    }
    if (ranges.empty()) {
        f_lines.push_back(u"[" + section + u"]");
        f_lines.push_back(line);
        return true;
    }
    // After the last key line of the first occurrence, so that blank lines
    // and comments that end the section stay where they are.
    const Range& r = ranges.front();
    size_t at = r.begin;
    for (size_t i = r.begin; i < r.end; ++i)
        if (classify(f_lines[i]).kind == LineKind::key) at = i + 1;
    f_lines.insert(f_lines.begin() + static_cast<ptrdiff_t>(at), line);
    return true;
}

bool kelProfileDocument::replaceSection(const std::u16string& section,
                                        const std::vector<std::u16string>& lines)
{
    if (!validSection(section)) return false;
    std::vector<std::u16string> body;
    for (const auto& l : lines) {
        if (hasLineBreakOrNul(l)) return false;
        const std::u16string t = trimmed(l);
        if (t.empty()) continue;
        const LineInfo info = classify(t);
        const bool comment = t[0] == u';';
        if (!comment && (info.kind != LineKind::key || !validKey(info.name))) return false;
        body.push_back(t);
    }
    const std::vector<Range> ranges = sectionRanges(section);
    if (ranges.empty()) {
        f_lines.push_back(u"[" + section + u"]");
        f_lines.insert(f_lines.end(), body.begin(), body.end());
        return true;
    }
    // Later occurrences go entirely; the first keeps its header.
    for (size_t k = ranges.size(); k-- > 1;)
        f_lines.erase(f_lines.begin() + static_cast<ptrdiff_t>(ranges[k].begin - 1),
                      f_lines.begin() + static_cast<ptrdiff_t>(ranges[k].end));
    const Range& r = ranges.front();
    f_lines.erase(f_lines.begin() + static_cast<ptrdiff_t>(r.begin),
                  f_lines.begin() + static_cast<ptrdiff_t>(r.end));
    f_lines.insert(f_lines.begin() + static_cast<ptrdiff_t>(r.begin), body.begin(), body.end());
    return true;
}
