#include "core/kelStringList.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <string>

#include "core/kelByteOrder.h"
#include "core/kelUtf.h"

namespace {

constexpr intptr_t kValueTimeout = 100;
constexpr intptr_t kTextTimeout = 100;

char16_t lowerAscii(char16_t c) noexcept
{
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

uint32_t blockBytes(const void* block) noexcept
{
    uint32_t bytes = 0;
    std::memcpy(&bytes, block, 4);
    return bytes;
}

const char16_t* blockUnits(const void* block) noexcept
{
    return reinterpret_cast<const char16_t*>(static_cast<const uint8_t*>(block) + 4);
}

// True when the block's text begins with `key`, A-Z of the text compared as
// a-z (the key is already lower-case).
bool startsWithKey(const void* block, const kelString& key) noexcept
{
    if (!block) return false;
    const size_t units = blockBytes(block) / 2;
    if (units < key.size()) return false;
    const char16_t* text = blockUnits(block);
    for (size_t i = 0; i < key.size(); ++i)
        if (lowerAscii(text[i]) != key[i]) return false;
    return true;
}

bool sameText(const void* block, const kelString& value, bool exact) noexcept
{
    if (!block) return value.empty();
    const size_t units = blockBytes(block) / 2;
    if (units != value.size()) return false;
    const char16_t* text = blockUnits(block);
    for (size_t i = 0; i < units; ++i) {
        if (exact ? text[i] != value[i] : lowerAscii(text[i]) != lowerAscii(value[i])) return false;
    }
    return true;
}

} // namespace

kelStringList::kelStringList() : kelRecordList(true, false)
{
    setDataType(uldt_string);
}

// The base destructor frees the string blocks: uldt_string items need no
// override to be reached.
kelStringList::~kelStringList() = default;

void* kelStringList::makeBlock(const kelString& value) noexcept
{
    const size_t bytes = value.size() * 2;
    if (bytes > 0xFFFFFFF0u) return nullptr;
    auto* block = static_cast<uint8_t*>(std::malloc(bytes + 8));
    if (!block) return nullptr;
    const auto count = static_cast<uint32_t>(bytes);
    std::memcpy(block, &count, 4);
    if (bytes) std::memcpy(block + 4, value.data(), bytes);
    std::memset(block + 4 + bytes, 0, 4);
    return block;
}

kelString kelStringList::blockText(const void* block)
{
    if (!block) return {};
    return kelString(blockUnits(block), blockBytes(block) / 2);
}

intptr_t kelStringList::add(const kelString& value) noexcept
{
    void* block = makeBlock(value);
    if (!block) return -1;
    const intptr_t index = kelList::add(block);
    if (index < 0) std::free(block);
    return index;
}

intptr_t kelStringList::insert(intptr_t index, const kelString& value) noexcept
{
    void* block = makeBlock(value);
    if (!block) return -1;
    const intptr_t result = kelList::insert(index, block);
    if (result < 0) std::free(block);
    return result;
}

kelString kelStringList::get(intptr_t index) noexcept
{
    if (!lock(true)) return {};
    kelString text;
    try {
        if (index >= 0 && index < count()) text = blockText(itemAt(index));
    } catch (const std::bad_alloc&) {
        text.clear();
    }
    unlockRO();
    return text;
}

bool kelStringList::setItem(intptr_t index, const kelString& item) noexcept
{
    void* block = makeBlock(item);
    if (!block) return false;
    // Strings always belong to the list: the old block is freed whatever
    // autoFree says.
    const bool stored = kelList::setItem(index, block, 1);
    if (!stored) std::free(block);
    return stored;
}

intptr_t kelStringList::indexOf(const kelString& value, bool exact) noexcept
{
    if (!lock(true)) return -1;
    intptr_t found = -1;
    const intptr_t n = count();
    for (intptr_t i = 0; i < n; ++i)
        if (sameText(itemAt(i), value, exact)) {
            found = i;
            break;
        }
    unlockRO();
    return found;
}

intptr_t kelStringList::indexOfValue(const kelString& name) noexcept
{
    if (!lock(true)) return -1;
    intptr_t found = -1;
    try {
        kelString key;
        key.reserve(name.size() + 1);
        for (char16_t c : name)
            key += lowerAscii(c);
        key += u'=';
        const intptr_t n = count();
        for (intptr_t i = 0; i < n; ++i)
            if (startsWithKey(itemAt(i), key)) {
                found = i;
                break;
            }
    } catch (const std::bad_alloc&) {
        found = -1;
    }
    unlockRO();
    return found;
}

kelString kelStringList::getValue(const kelString& name) noexcept
{
    if (!lock(true, kValueTimeout)) return {};
    kelString value;
    try {
        const intptr_t index = indexOfValue(name);
        if (index >= 0) {
            const kelString item = blockText(itemAt(index));
            const size_t eq = item.find(u'=');
            if (eq != kelString::npos) value = item.substr(eq + 1);
        }
    } catch (const std::bad_alloc&) {
        value.clear();
    }
    unlockRO();
    return value;
}

bool kelStringList::setValue(const kelString& name, const kelString& value) noexcept
{
    if (!lock(false)) return false;
    bool done = false;
    try {
        const kelString item = name + u"=" + value;
        const intptr_t index = indexOfValue(name);
        done = index >= 0 ? setItem(index, item) : add(item) >= 0;
    } catch (const std::bad_alloc&) {
        done = false;
    }
    unlockWO();
    return done;
}

kelString kelStringList::text() noexcept
{
    if (!lock(true)) return {};
    kelString all;
    try {
        const intptr_t n = count();
        size_t total = 0;
        for (intptr_t i = 0; i < n; ++i)
            if (void* block = itemAt(i)) total += blockBytes(block) / 2 + 2;
        all.reserve(total);
        for (intptr_t i = 0; i < n; ++i) {
            if (void* block = itemAt(i)) all.append(blockUnits(block), blockBytes(block) / 2);
            all += u"\r\n";
        }
    } catch (const std::bad_alloc&) {
        all.clear();
    }
    unlockRO();
    return all;
}

bool kelStringList::setText(const kelString& value) noexcept
{
    if (!lock(false, kTextTimeout)) return false;
    clear(2, false);
    bool done = true;
    const size_t n = value.size();
    size_t start = 0;
    size_t i = 0;
    while (i < n && done) {
        const char16_t c = value[i];
        if (c != u'\r' && c != u'\n') {
            ++i;
            continue;
        }
        done = add(value.substr(start, i - start)) >= 0;
        // CR LF is one break; any other CR or LF is a break of its own.
        i += (c == u'\r' && i + 1 < n && value[i + 1] == u'\n') ? 2 : 1;
        start = i;
    }
    if (done && start < n) done = add(value.substr(start)) >= 0;
    unlockWO();
    return done;
}

bool kelStringList::readFromFile(const kelString& fileName) noexcept
{
    try {
        std::ifstream file(utf16ToUtf8(fileName), std::ios::binary);
        if (!file) return false;
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (file.bad()) return false;
        kelString content;
        if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
            static_cast<uint8_t>(bytes[1]) == 0xFE) {
            const auto* units = reinterpret_cast<const uint8_t*>(bytes.data()) + 2;
            content.resize((bytes.size() - 2) / 2);
            for (size_t i = 0; i < content.size(); ++i)
                content[i] = static_cast<char16_t>(kelLoadLE16(units + 2 * i));
        } else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            content = utf8ToUtf16(std::string_view(bytes).substr(3));
        } else {
            content = utf8ToUtf16(bytes);
        }
        return setText(content);
    } catch (const std::bad_alloc&) {
        return false;
    }
}
