// Format records and data through every built-in compression driver, by
// way of the compression manager: the first bytes make a compressed record
// (any fields, any cbSize up to the bytes there are) and pick the driver's
// conversion and the direction; the record is suggested from, enumerated
// against and opened; the rest of the input is converted in pieces of
// random size and flags. Nothing may be read or written past a record or a
// buffer (ASan, and a guard zone behind every destination), and no used
// count may pass its buffer.

#include "codecs/kelAcmDrivers.h"
#include "platform/kelAcmApi.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition) std::abort();
}

constexpr uint16_t kTags[] = {WAVE_FORMAT_PCM,       WAVE_FORMAT_ALAW,   WAVE_FORMAT_MULAW,
                              WAVE_FORMAT_IMA_ADPCM, WAVE_FORMAT_GSM610, WAVE_FORMAT_MPEGLAYER3};
constexpr size_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xC3;

struct Input
{
    const uint8_t* data;
    size_t size;
    uint8_t byte() { return size > 0 ? (--size, *data++) : 0; }
    uint16_t word() { return uint16_t(byte() | (byte() << 8)); }
};

void checkGuard(const std::vector<uint8_t>& buffer, size_t used)
{
    for (size_t i = used; i < buffer.size(); ++i)
        check(buffer[i] == kGuardByte);
}

void suggestFrom(const std::vector<uint8_t>& record, uint32_t dstSize, uint32_t flags)
{
    std::vector<uint8_t> dst(dstSize + kGuard, kGuardByte);
    std::memcpy(dst.data(), record.data(), std::min<size_t>(16, dstSize));
    acmFormatSuggest(nullptr, reinterpret_cast<const WAVEFORMATEX*>(record.data()),
                     reinterpret_cast<WAVEFORMATEX*>(dst.data()), dstSize, flags);
    checkGuard(dst, dstSize);
}

void enumerateAgainst(const std::vector<uint8_t>& record, uint32_t flags)
{
    std::vector<uint8_t> room(64 + kGuard, kGuardByte);
    std::memcpy(room.data(), record.data(), std::min<size_t>(record.size(), 64));
    ACMFORMATDETAILSA details{};
    details.cbStruct = sizeof details;
    details.pwfx = reinterpret_cast<WAVEFORMATEX*>(room.data());
    details.cbwfx = 64;
    acmFormatEnumA(
        nullptr, &details,
        [](HACMDRIVERID, ACMFORMATDETAILSA* d, uintptr_t, uint32_t) {
            check(d->cbwfx <= 64);
            return true;
        },
        0, flags);
    checkGuard(room, 64);
}

void convert(HACMSTREAM stream, Input& in)
{
    while (in.size > 0) {
        const size_t piece = std::min<size_t>(in.size, 1 + in.word() % 4096);
        std::vector<uint8_t> src(in.data, in.data + piece);
        in.data += piece;
        in.size -= piece;
        const uint32_t room = in.word() % 20000;
        const uint32_t flags =
            in.byte() & (ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END);
        std::vector<uint8_t> dst(room + kGuard, kGuardByte);
        ACMSTREAMHEADER header{};
        header.cbStruct = sizeof header;
        header.pbSrc = src.data();
        header.cbSrcLength = uint32_t(src.size());
        header.pbDst = dst.data();
        header.cbDstLength = room;
        if (acmStreamPrepareHeader(stream, &header, 0) != 0) continue;
        if (acmStreamConvert(stream, &header, flags) == 0) {
            check(header.cbSrcLengthUsed <= header.cbSrcLength);
            check(header.cbDstLengthUsed <= header.cbDstLength);
        }
        checkGuard(dst, room);
        check(acmStreamUnprepareHeader(stream, &header, 0) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelAcmRegisterBuiltInDrivers();
    Input in{data, size};
    const uint8_t choice = in.byte();
    const uint16_t tag = kTags[choice % std::size(kTags)];
    const bool encode = (choice & 0x80) != 0;

    // The compressed record: its header from the input, cbSize limited to
    // the extra bytes the input still holds (at most 32).
    WAVEFORMATEX head{};
    head.wFormatTag = tag;
    head.nChannels = in.byte() % 4;
    const uint32_t rates[] = {8000, 11025, 16000, 22050, 44100, 48000, 0, 12345};
    head.nSamplesPerSec = rates[in.byte() % std::size(rates)];
    head.nAvgBytesPerSec = in.word();
    head.nBlockAlign = in.word() % 4200;
    head.wBitsPerSample = in.byte() % 20;
    head.cbSize = uint16_t(std::min<size_t>(in.byte() % 33, in.size));
    std::vector<uint8_t> record(sizeof head + head.cbSize);
    std::memcpy(record.data(), &head, sizeof head);
    for (size_t i = sizeof head; i < record.size(); ++i)
        record[i] = in.byte();

    const uint32_t suggestFlags = uint32_t(in.byte() & 0x0F) << 16;
    suggestFrom(record, 16 + in.byte() % 48, suggestFlags);
    enumerateAgainst(record, uint32_t(in.byte() & 0x1F) << 16);

    // The PCM side: 16-bit at the record's rate and channels (8-bit for
    // the PCM converter, so that it converts).
    const uint16_t bits = tag == WAVE_FORMAT_PCM ? 8 : 16;
    WAVEFORMATEX pcm{WAVE_FORMAT_PCM,
                     head.nChannels,
                     head.nSamplesPerSec,
                     head.nSamplesPerSec * head.nChannels * bits / 8,
                     uint16_t(head.nChannels * bits / 8),
                     bits,
                     0};
    const auto* compressed = reinterpret_cast<const WAVEFORMATEX*>(record.data());
    HACMSTREAM stream = nullptr;
    if (acmStreamOpen(&stream, nullptr, encode ? &pcm : compressed, encode ? compressed : &pcm, nullptr, 0, 0,
                      0) != 0)
        return 0;
    for (const uint32_t flag : {ACM_STREAMSIZEF_SOURCE, ACM_STREAMSIZEF_DESTINATION}) {
        uint32_t answer = 0;
        acmStreamSize(stream, in.word() * 3u, &answer, flag);
    }
    convert(stream, in);
    check(acmStreamClose(stream, 0) == 0);
    return 0;
}
