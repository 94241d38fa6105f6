// The demultiplexer's sections: checked, then parsed into its tables.
//
// A long-form section (ISO/IEC 13818-1 2.4.4, EN 300 468 5.2):
//   table_id 8 | syntax 1 | 1 | reserved 2 | section_length 12 |
//   table_id_extension 16 | reserved 2 | version 5 | current_next 1 |
//   section_number 8 | last_section_number 8 | body | CRC_32 32
// The CRC is the MPEG-2 CRC-32 (polynomial 0x04C11DB7, not reflected,
// starting at all ones, no final inversion): over a whole section with its
// CRC_32 it comes out 0.

#include "codecs/kelMpegTSDemuxer.h"

#include "core/kelCreate.h"
#include "core/kelLog.h"
#include "core/kelParseInt.h"

#include <array>

namespace {

constexpr intptr_t kLongHeader = 8;
constexpr intptr_t kCrcBytes = 4;

constexpr std::array<uint32_t, 256> makeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

uint32_t mpegCrc32(const uint8_t* data, intptr_t size) noexcept
{
    uint32_t crc = 0xFFFFFFFFu;
    for (intptr_t i = 0; i < size; ++i)
        crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

// Tables that are defined only in the long form.
bool needsLongForm(uint32_t tableId) noexcept
{
    return tableId <= 3 || (tableId >= 0x40 && tableId <= 0x46) || tableId == 0x4A ||
           (tableId >= 0x4E && tableId <= 0x6F);
}

kelString decimal(int64_t v)
{
    return formatInteger(v);
}

} // namespace

void kelMpegTSDemuxer::handleSection(uint32_t pid, const uint8_t* section, intptr_t size)
{
    if (section == nullptr || size < 3) return;
    const uint32_t tableId = section[0];
    if (tableId == 0xFF) return;
    const bool syntax = (section[1] & 0x80) != 0;
    if (!syntax) {
        if (needsLongForm(tableId)) {
            ++f_stat.r_sectionsMalformed;
            return;
        }
        // Short-form sections (TDT, TOT, ST, private) carry nothing stored.
        ++f_stat.r_sections;
        onSection(pid, tableId);
        return;
    }
    if (size < kLongHeader + kCrcBytes) {
        ++f_stat.r_sectionsMalformed;
        return;
    }
    if (mpegCrc32(section, size) != 0) {
        ++f_stat.r_sectionsCrcFailed;
        return;
    }
    ++f_stat.r_sections;
    const uint32_t subID = (uint32_t(section[3]) << 8) | section[4];
    kelMpegTSBytes body(section + kLongHeader, size - kLongHeader - kCrcBytes);
    const intptr_t bodyBytes = body.remaining();
    const int64_t refusedBefore = f_budget.refused;
    switch (tableId) {
    case 0x00:
        parsePAT(body, subID);
        break;
    case 0x01:
        parseCAT(body, pid);
        break;
    case 0x02:
        parsePMT(body, subID);
        break;
    case 0x03:
        f_descripors.addDesc(body, f_budget);
        break;
    case 0x40:
    case 0x41:
        parseNIT(body, subID);
        break;
    case 0x42:
    case 0x46:
        parseSDT(body, subID, tableId == 0x42);
        break;
    default:
        if (tableId >= 0x4E && tableId <= 0x6F)
            parseEIT(body, pid, subID);
        else
            body.skip(body.remaining());
        break;
    }
    f_stat.r_tablesRefused += f_budget.refused - refusedBefore;
    if (body.remaining() != 0) {
        const intptr_t expected = bodyBytes + kCrcBytes;
        logMessage(u"[PID=" + decimal(pid) + u"]: Not the whole section was parsed (" +
                       decimal(expected - body.remaining()) + u" out of " + decimal(expected) + u")",
                   2);
    }
    onSection(pid, tableId);
}

void kelMpegTSDemuxer::parsePAT(kelMpegTSBytes& in, uint32_t subID)
{
    f_ts_id = subID;
    while (in.remaining() >= 4) {
        const uint32_t number = in.u16();
        const uint32_t pid = in.u16() & 0x1FFF;
        if (number == 0) {
            f_NID = pid;
            continue;
        }
        auto* program = f_programs.find<kelMpegTSProgram>(number);
        if (program == nullptr)
            program = kelMpegTSStore(f_programs,
                                     kelCreate<kelMpegTSProgram>(number, pid, kelMpegTSProgram::kUnknownPID),
                                     f_budget);
        if (program == nullptr) continue;
        program->setPID_PMT(pid);
        f_pmtPIDs.set(pid);
    }
}

void kelMpegTSDemuxer::parseCAT(kelMpegTSBytes& in, uint32_t pid)
{
    if (kelMpegES* es = stream(pid))
        es->desc().addDesc(in, f_budget);
    else
        in.skip(in.remaining());
}

void kelMpegTSDemuxer::parsePMT(kelMpegTSBytes& in, uint32_t subID)
{
    if (in.remaining() < 4) return;
    const uint32_t pcr = in.u16() & 0x1FFF;
    kelMpegTSBytes programInfo = in.sub(intptr_t(in.u16() & 0x0FFF));
    auto* program = f_programs.find<kelMpegTSProgram>(subID);
    if (program == nullptr)
        program = kelMpegTSStore(
            f_programs, kelCreate<kelMpegTSProgram>(subID, kelMpegTSProgram::kUnknownPID, pcr), f_budget);
    if (program != nullptr) {
        program->setPID_PCR(pcr);
        program->desc().addDesc(programInfo, f_budget);
        program->streams().clear();
    }
    while (in.remaining() >= 5) {
        const uint8_t type = uint8_t(in.u8());
        const uint32_t pid = in.u16() & 0x1FFF;
        kelMpegTSBytes esInfo = in.sub(intptr_t(in.u16() & 0x0FFF));
        if (program != nullptr) program->streams().add(int32_t(pid));
        kelMpegES* es = findOrAddStream(pid, -1);
        if (es == nullptr) continue;
        es->setStreamType(type);
        es->setNID(f_NID);
        es->desc().addDesc(esInfo, f_budget);
    }
}

void kelMpegTSDemuxer::parseNIT(kelMpegTSBytes& in, uint32_t subID)
{
    auto* network = f_networks.find<kelMpegTSNetwork>(subID);
    if (network == nullptr)
        network = kelMpegTSStore(f_networks, kelCreate<kelMpegTSNetwork>(subID), f_budget);
    if (network != nullptr) network->parse(in, f_budget);
    in.skip(in.remaining());
}

void kelMpegTSDemuxer::parseSDT(kelMpegTSBytes& in, uint32_t subID, bool thisStream)
{
    const uint32_t onid = in.u16();
    in.skip(1);
    while (in.remaining() >= 5) {
        const uint32_t serviceId = in.u16();
        auto* service = f_services.find<kelMpegTSService>(serviceId);
        if (service == nullptr)
            service = kelMpegTSStore(
                f_services, kelCreate<kelMpegTSService>(serviceId, onid, subID, thisStream), f_budget);
        if (service != nullptr) {
            if (service->parse(in, f_budget) == 0) in.skip(in.remaining());
            continue;
        }
        // Refused: its entry is passed over all the same.
        in.skip(1);
        in.skip(intptr_t(in.u16() & 0x0FFF));
    }
}

void kelMpegTSDemuxer::parseEIT(kelMpegTSBytes& in, uint32_t pid, uint32_t subID)
{
    const uint32_t tsid = in.u16();
    const uint32_t onid = in.u16();
    in.skip(2);
    while (in.remaining() >= 12) {
        const uint32_t eventId = in.u16();
        auto* event = kelCreate<kelMpegTSEvent>(eventId, tsid, onid, subID);
        if (event == nullptr) return;
        // Events are handed out, not kept: their descriptors have a budget
        // of their own.
        kelMpegTSBudget eventBudget;
        event->parse(in, eventBudget);
        try {
            onEvent(pid, *event);
        } catch (...) {
            kelReportHookFailure("kelMpegTSDemuxer::onEvent");
        }
        kelFree(event);
    }
}
