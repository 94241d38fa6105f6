#include "streaming/kelT140Receive.h"

#include <array>

namespace {

// Sixteen generations is far more than any sender uses (two or three are
// usual); a header list longer than that is not text redundancy.
constexpr size_t kMaxGenerations = 16;

struct kelRedBlock
{
    int type = 0;
    uint32_t tsOffset = 0;
    size_t offset = 0;
    size_t length = 0;
};

constexpr char kLostText[] = "\xEF\xBF\xBD"; // U+FFFD

// The block list of a redundant payload (RFC 2198 section 3):
//
//   |F|  PT (7)  |  timestamp offset (14)  | length (10) |   4 bytes per
//   |1|          |                         |             |   older block
//   ...
//   |0|  PT (7)  |                                           the primary
//   | older blocks' data, in header order | primary data (the rest) |
//
// False when the headers do not fit the payload or the older blocks'
// lengths run past its end.
struct kelRedLayout
{
    std::array<kelRedBlock, kMaxGenerations> older{};
    size_t generations = 0;
    kelRedBlock primary;
};

bool parseRed(const uint8_t* payload, size_t size, kelRedLayout& out)
{
    if (payload == nullptr || size == 0) return false;
    size_t pos = 0;
    size_t olderBytes = 0;
    out.generations = 0;
    while (pos < size && (payload[pos] & 0x80) != 0) {
        if (out.generations == kMaxGenerations || size - pos < 4) return false;
        kelRedBlock& block = out.older[out.generations++];
        block.type = payload[pos] & 0x7F;
        block.tsOffset = static_cast<uint32_t>(payload[pos + 1] << 6 | payload[pos + 2] >> 2);
        block.length = static_cast<size_t>((payload[pos + 2] & 0x03) << 8 | payload[pos + 3]);
        olderBytes += block.length;
        pos += 4;
    }
    if (pos >= size) return false;
    const int primaryType = payload[pos] & 0x7F;
    ++pos;
    if (olderBytes > size - pos) return false;
    for (size_t i = 0; i < out.generations; ++i) {
        out.older[i].offset = pos;
        pos += out.older[i].length;
    }
    out.primary = kelRedBlock{primaryType, 0, pos, size - pos};
    return true;
}

} // namespace

bool kelT140IsRedundantText(const uint8_t* payload, size_t size, int textType) noexcept
{
    kelRedLayout layout;
    if (textType < 0 || !parseRed(payload, size, layout) || layout.primary.type != textType) return false;
    for (size_t i = 0; i < layout.generations; ++i)
        if (layout.older[i].type != textType) return false;
    return true;
}

bool kelT140Receive::receiveRedundant(uint32_t ssrc, uint16_t seq, uint32_t timestamp, const uint8_t* payload,
                                      size_t size, int textType, std::string& out)
{
    kelRedLayout layout;
    if (!parseRed(payload, size, layout)) return false;
    const auto& older = layout.older;
    const size_t generations = layout.generations;
    const kelRedBlock& primary = layout.primary;

    if (f_started && ssrc != f_ssrc) f_started = false;
    size_t missing = 0;
    const bool hadText = f_started;
    const uint32_t lastTimestamp = f_lastTimestamp;
    if (f_started) {
        const uint16_t ahead = static_cast<uint16_t>(seq - f_lastSeq);
        // A repeat, or a late packet whose text came with a later one.
        if (ahead == 0 || ahead >= 0x8000) return true;
        missing = ahead - 1u;
    }
    f_started = true;
    f_ssrc = ssrc;
    f_lastSeq = seq;
    f_lastTimestamp = timestamp;

    // Generation k back (1 = the newest older block, which is last in the
    // list) holds the text of packet seq - k.
    size_t first = generations;
    if (missing > generations) {
        out += kLostText;
        first = 0;
    } else {
        first = generations - missing;
    }
    const auto append = [&](const kelRedBlock& block) {
        if (block.type == textType && block.length > 0)
            out.append(reinterpret_cast<const char*>(payload + block.offset), block.length);
    };
    for (size_t i = first; i < generations; ++i) {
        const uint32_t sent = timestamp - older[i].tsOffset;
        const bool shownAlready = hadText && static_cast<int32_t>(sent - lastTimestamp) <= 0;
        if (!shownAlready) append(older[i]);
    }
    append(primary);
    return true;
}

kelString kelT140Shown(const kelString& text)
{
    kelString shown;
    shown.reserve(text.size());
    for (char16_t c : text) {
        if (c != u'\uFEFF' && c != u'\0') shown.push_back(c);
    }
    return shown;
}
