#include "codecs/kelMpegTSSectionReader.h"

#include "codecs/kelMpegTSDemuxer.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kStuffing = 0xFF;
constexpr intptr_t kHeaderBytes = 3;

intptr_t sectionTotal(const uint8_t* head) noexcept
{
    return kHeaderBytes + ((intptr_t(head[1] & 0x0F) << 8) | head[2]);
}

} // namespace

intptr_t kelMpegTSDemuxerSectionReader::append(const uint8_t* data, intptr_t len, bool unitStart)
{
    if (len <= 0) return 0;
    if (!unitStart) {
        // Bytes behind a section that ends here are stuffing: a new section
        // can only start in a packet that starts a unit.
        if (inProgress()) continueSection(data, len);
        return len;
    }
    const intptr_t pointer = data[0];
    intptr_t pos = 1;
    if (pointer > len - pos) {
        // The pointer leads out of the packet: nothing here can be trusted.
        if (inProgress()) dropCut();
        return len;
    }
    if (inProgress()) {
        continueSection(data + pos, pointer);
        // The section did not end where the next one starts.
        if (inProgress()) dropCut();
    }
    pos += pointer;
    while (pos < len && data[pos] != kStuffing) {
        pos += startSection(data + pos, len - pos);
        if (inProgress()) break;
    }
    return len;
}

intptr_t kelMpegTSDemuxerSectionReader::startSection(const uint8_t* data, intptr_t len)
{
    restart();
    if (len >= kHeaderBytes) {
        const intptr_t total = sectionTotal(data);
        if (total <= len) {
            f_demuxer->handleSection(f_pid, data, total);
            return total;
        }
    }
    return continueSection(data, len);
}

intptr_t kelMpegTSDemuxerSectionReader::continueSection(const uint8_t* data, intptr_t len)
{
    intptr_t used = 0;
    while (f_collected < kHeaderBytes && used < len)
        f_head[f_collected++] = data[used++];
    if (f_collected < kHeaderBytes) {
        f_expectedLen = 0;
        return used;
    }
    if (f_total == 0) {
        f_total = sectionTotal(f_head);
        write(f_head, kHeaderBytes);
    }
    const intptr_t take = std::min(f_total - f_collected, len - used);
    if (take > 0) {
        write(data + used, take);
        f_collected += take;
        used += take;
    }
    f_expectedLen = f_total - f_collected;
    if (f_expectedLen > 0) return used;
    const uint8_t* whole = peekBytes(f_total);
    if (whole != nullptr) f_demuxer->handleSection(f_pid, whole, f_total);
    restart();
    return used;
}

void kelMpegTSDemuxerSectionReader::dropCut()
{
    f_demuxer->countSectionCut();
    restart();
}

void kelMpegTSDemuxerSectionReader::doRestart()
{
    kelBitReader_stream::doRestart();
    f_expectedLen = 0;
    f_collected = 0;
    f_total = 0;
}

kelMpegSReaderList::kelMpegSReaderList() : kelIdList(uldt_obj, true)
{
    setAutoFree(true);
    setSignalsData(false);
}

kelMpegSReaderList::~kelMpegSReaderList()
{
    clear(2, true);
}

int64_t kelMpegSReaderList::getId(void* item) noexcept
{
    return static_cast<kelMpegTSDemuxerSectionReader*>(static_cast<kelObject*>(item))->PID();
}
