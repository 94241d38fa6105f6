#include "codecs/kelMpegTSTables.h"

#include "core/kelTextUtils.h"

#include <cstring>

// --- lists --------------------------------------------------------------------

kelMpegTS_pwnIDList::kelMpegTS_pwnIDList() : kelIdList(uldt_obj, true)
{
    setAutoFree(true);
    setAllowDuplicateId(false);
    // Private to the demultiplexer's thread in the common case: nobody waits
    // on the data event.
    setSignalsData(false);
}

kelMpegTS_pwnIDList::~kelMpegTS_pwnIDList()
{
    clear(2, true);
}

int64_t kelMpegTS_pwnIDList::getId(void* item) noexcept
{
    return static_cast<kelMpegTS_pwnID*>(static_cast<kelObject*>(item))->ID();
}

// --- descriptors --------------------------------------------------------------

void kelMpegTSDescriptor::setData(const uint8_t* data, intptr_t len) noexcept
{
    f_dataLen = std::clamp<intptr_t>(len, 0, intptr_t(sizeof(f_data)));
    if (f_dataLen > 0) std::memcpy(f_data, data, size_t(f_dataLen));
}

kelString kelMpegTSDescriptor::asString() const
{
    if (f_dataLen < 1) return {};
    kelString text;
    text.reserve(size_t(f_dataLen));
    for (intptr_t i = 0; i < f_dataLen; ++i)
        text.push_back(f_data[i] >= 32 && f_data[i] <= 127 ? char16_t(f_data[i]) : u' ');
    return trimText(text);
}

kelMpegTSDescriptor* kelMpegTSDescriptorList::descriptor(uint32_t tag) noexcept
{
    return find<kelMpegTSDescriptor>(tag);
}

intptr_t kelMpegTSDescriptorList::addDesc(kelMpegTSBytes& in, kelMpegTSBudget& budget)
{
    const intptr_t start = in.remaining();
    while (in.remaining() >= 2) {
        const uint32_t tag = in.u8();
        const intptr_t claimed = intptr_t(in.u8());
        const intptr_t len = std::min(claimed, in.remaining());
        const uint8_t* data = in.take(len);
        if (auto* known = descriptor(tag)) {
            known->setData(data, len);
            continue;
        }
        auto* d = kelCreate<kelMpegTSDescriptor>(tag);
        if (d == nullptr) continue;
        d->setData(data, len);
        kelMpegTSStore(*this, d, budget);
    }
    // A lone byte cannot hold a tag and a length.
    in.skip(in.remaining());
    return start;
}

// --- events and services ------------------------------------------------------

uint64_t kelMpegTSEvent::startTime() const noexcept
{
    uint64_t v = 0;
    for (int i = 4; i >= 0; --i)
        v = (v << 8) | f_start_time[i];
    return v;
}

intptr_t kelMpegTSEvent::parse(kelMpegTSBytes& in, kelMpegTSBudget& budget)
{
    if (in.remaining() <= 10) return 0;
    const intptr_t start = in.remaining();
    std::memcpy(f_start_time, in.take(5), 5);
    f_duration = in.u24();
    const uint32_t flags = in.u16();
    f_running_status = intptr_t(flags >> 13);
    f_free_CA_mode = ((flags >> 12) & 1) != 0;
    kelMpegTSBytes loop = in.sub(intptr_t(flags & 0x0FFF));
    desc().addDesc(loop, budget);
    return start - in.remaining();
}

intptr_t kelMpegTSService::parse(kelMpegTSBytes& in, kelMpegTSBudget& budget)
{
    if (in.remaining() < 3) return 0;
    const intptr_t start = in.remaining();
    const uint32_t eitFlags = in.u8();
    f_EIT_schedule_flag = (eitFlags >> 1) & 1;
    f_EIT_present_folloing_flag = eitFlags & 1;
    const uint32_t flags = in.u16();
    f_running_status = flags >> 13;
    f_free_CA_mode = (flags >> 12) & 1;
    kelMpegTSBytes loop = in.sub(intptr_t(flags & 0x0FFF));
    desc().addDesc(loop, budget);
    return start - in.remaining();
}

// --- elementary streams and programs -----------------------------------------

bool kelMpegES::updateContinuity(intptr_t cc) noexcept
{
    if (f_continuity < 0) f_continuity = cc == 0 ? 15 : cc - 1;
    const intptr_t expected = (f_continuity + 1) & 0x0F;
    f_continuity = cc;
    if (cc != expected) return false;
    ++f_totalCnt;
    return true;
}

kelMpegTSProgram::kelMpegTSProgram(uint32_t num, uint32_t PMT, uint32_t PCR)
    : kelMpegTS_pwnID(num), f_PID_PMT(PMT), f_PID_PCR(PCR), f_streams(uldt_int32, true)
{
    f_streams.setSignalsData(false);
}

// --- networks -----------------------------------------------------------------

intptr_t kelMpegTSNetwork::parse(kelMpegTSBytes& in, kelMpegTSBudget& budget)
{
    const intptr_t start = in.remaining();
    kelMpegTSBytes networkDesc = in.sub(intptr_t(in.u16() & 0x0FFF));
    desc().addDesc(networkDesc, budget);
    if (in.remaining() > 1) {
        kelMpegTSBytes loop = in.sub(intptr_t(in.u16() & 0x0FFF));
        while (loop.remaining() > 5) {
            const uint32_t tsid = loop.u16();
            const uint32_t onid = loop.u16();
            kelMpegTSBytes entryDesc = loop.sub(intptr_t(loop.u16() & 0x0FFF));
            kelMpegTSTransport* entry = transport(tsid);
            if (entry != nullptr)
                entry->setNID(onid);
            else
                entry = kelMpegTSStore(f_transports, kelCreate<kelMpegTSTransport>(tsid, onid), budget);
            if (entry != nullptr) entry->desc().addDesc(entryDesc, budget);
        }
        // A loop with a few bytes too many for one more entry.
        loop.skip(loop.remaining());
    }
    return start - in.remaining();
}
