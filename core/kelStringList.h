#pragma once
// kelStringList: a self-locking list of UTF-16 strings with name=value
// operations and a CR LF text form.
//
// Items are string blocks: a 32-bit unsigned byte count followed by that many
// bytes of UTF-16 code units, allocated 8 bytes larger than the count with
// std::malloc. The list owns them (autoFree), is never sorted, and frees a
// replaced or removed string.

#include "core/kelList.h"
#include "core/kelTypes.h"

class kelStringList : public kelRecordList
{
public:
    kelStringList();
    ~kelStringList() override;

    // Index of the new item, negative when it was not added.
    intptr_t add(const kelString& value) noexcept;
    intptr_t insert(intptr_t index, const kelString& value) noexcept;
    // Empty when out of range or the lock (read, timeout()) failed.
    kelString get(intptr_t index) noexcept;
    // Replaces item `index` (the old string is freed).
    bool setItem(intptr_t index, const kelString& item) noexcept;
    // First item equal to `value`: exactly when `exact`, else ignoring the
    // case of A-Z. -1 when absent.
    intptr_t indexOf(const kelString& value, bool exact = true) noexcept;

    // First item that begins with `name` "=" (A-Z compared as a-z); -1 when
    // absent.
    intptr_t indexOfValue(const kelString& name) noexcept;
    // Text after the first "=" of that item; empty when absent.
    kelString getValue(const kelString& name) noexcept;
    // Makes the item `name` "=" `value`, replacing the found item or adding
    // one at the end. False when the lock failed.
    bool setValue(const kelString& name, const kelString& value) noexcept;

    // Every item followed by CR LF.
    kelString text() noexcept;
    // Replaces the items with the lines of `value`. CR LF, a lone CR and a
    // lone LF each end one line; empty lines are kept; a final break adds no
    // empty item. False when the lock failed.
    bool setText(const kelString& value) noexcept;
    // Loads the lines of a text file (UTF-8, or UTF-16LE with its BOM).
    // False when the file cannot be read.
    bool readFromFile(const kelString& fileName) noexcept;

    // String blocks, for callers that build or read items by hand.
    static void* makeBlock(const kelString& value) noexcept;
    static kelString blockText(const void* block);

    kelString _classID() const override { return u"kelStringList"; }
};
