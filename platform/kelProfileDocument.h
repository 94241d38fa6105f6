#pragma once
// kelProfileDocument: one private-profile (ini) file held in memory, with no
// file or lock code of its own (kelPrivateProfile.h does the I/O).
//
// Format, as the Windows-style profile calls read and write it:
//
//   [Section]            section header; names compare trimmed, ignoring case
//   key=value            key line; key and value trimmed of blanks (code <= 32)
//   key=" padded "       one pair of matching enclosing quotes (" or ') is
//                        removed on reading, so blanks at either end survive
//   ; comment            never a key; kept, like every unknown line
//
// Lines before the first header belong to no section. A section name that
// occurs more than once is one section spread over several places: reads see
// the first match, writes update the first match.
//
// Files are decoded by their byte-order mark: FF FE UTF-16LE, FE FF
// UTF-16BE, EF BB BF UTF-8; without one as UTF-8, or byte for byte
// (Latin-1) when the bytes are not valid UTF-8. An empty file is UTF-16LE.
// Saving keeps the file's encoding and every line it did not change,
// writes CR LF after every line, and switches to UTF-16LE only when the
// text no longer fits the old encoding, so nothing is ever lost.
//
// Not thread-safe; one owner at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class kelProfileEncoding {
    utf16le,
    utf16be,
    utf8bom,
    utf8,
    latin1,
};

class kelProfileDocument
{
public:
    kelProfileDocument() = default;

    // Replaces the content by the decoded bytes of a file. Never fails: any
    // byte sequence gives some document.
    void load(const uint8_t* data, size_t size);
    // The bytes of the file: BOM (for the BOM encodings), then each line and
    // CR LF.
    std::string save() const;

    kelProfileEncoding encoding() const noexcept { return f_encoding; }
    const std::vector<std::u16string>& lines() const noexcept { return f_lines; }

    // The decoded value of `key` in `section`; false when either is missing.
    bool find(const std::u16string& section, const std::u16string& key, std::u16string& value) const;
    // Every key line of the section as "key=value", with the value as stored
    // (quotes kept), in file order.
    std::vector<std::u16string> sectionLines(const std::u16string& section) const;
    bool hasSection(const std::u16string& section) const;

    // Sets key=value, adding the section (at the end) and the key (after the
    // section's last key) when missing. False, with nothing changed, when a
    // name or the value cannot be stored (see the checks below).
    bool setValue(const std::u16string& section, const std::u16string& key, const std::u16string& value);
    // Makes `lines` the whole body of the section. Blank lines are dropped;
    // every other line must be a key line with a valid key or a ";" comment,
    // else nothing changes and the result is false.
    bool replaceSection(const std::u16string& section, const std::vector<std::u16string>& lines);

    // What can be stored. A line-oriented file has no escape for a line
    // break, so CR, LF and NUL are refused everywhere; a key must not be
    // blank, contain "=" or start with "[" or ";" (it would read back as a
    // header or a comment); a section name must not contain "]".
    static bool validSection(const std::u16string& section);
    static bool validKey(const std::u16string& key);
    static bool validValue(const std::u16string& value);

    // The text after "=" for `value`: quoted when it has blanks at either end
    // or already looks quoted, so that reading gives `value` back.
    static std::u16string encodeValue(const std::u16string& value);
    // Case-insensitive, blank-trimmed name comparison used for sections and
    // keys (ASCII, Latin-1, Greek and Cyrillic letters fold).
    static bool sameName(const std::u16string& a, const std::u16string& b);

private:
    enum class LineKind {
        other,
        header,
        key,
    };
    struct LineInfo
    {
        LineKind kind = LineKind::other;
        std::u16string name;     // header name or key, trimmed
        std::u16string rawValue; // text after "=", trimmed
    };
    static LineInfo classify(const std::u16string& line);

    // Index ranges [begin, end) of the bodies (lines after the header) of
    // every section called `section`; header index is begin - 1.
    struct Range
    {
        size_t begin;
        size_t end;
    };
    std::vector<Range> sectionRanges(const std::u16string& section) const;

    std::vector<std::u16string> f_lines;
    kelProfileEncoding f_encoding = kelProfileEncoding::utf16le;
};
