#pragma once
// A GSM coder that keeps what it delivers, and a GSM WAV file (WAV49
// framing) built from coded units, for the codec and interop tests. Header
// only; used from the test's own thread.

#include "codecs/kelGSM.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

template <class Coder> class kelTestGSMCollector : public Coder
{
public:
    explicit kelTestGSMCollector(bool isWav49) : Coder(isWav49) {}

    std::vector<std::string> units; // one entry per dataAvailable call
    bool otherSender = false;       // a call named a sender other than this coder
    bool throwFromHook = false;

    std::string joined() const
    {
        std::string all;
        for (const auto& u : units)
            all += u;
        return all;
    }

protected:
    void dataAvailable(kelGSMcoder* sender, const uint8_t* data, intptr_t len) override
    {
        if (sender != this) otherSender = true;
        units.emplace_back(reinterpret_cast<const char*>(data), size_t(len));
        if (throwFromHook) throw std::runtime_error("hook failed");
    }
};

using kelTestGSMEncoder = kelTestGSMCollector<kelGSMEncoder>;
using kelTestGSMDecoder = kelTestGSMCollector<kelGSMDecoder>;

// A mono 8 kHz WAV file of GSM 6.10 in the WAV49 framing (format tag 0x31,
// 65-byte blocks of 320 samples) holding `units`.
inline std::string kelTestGSMWavFile(const std::string& units)
{
    const auto le16 = [](uint32_t v) { return std::string{char(v & 0xFF), char((v >> 8) & 0xFF)}; };
    const auto le32 = [&](uint32_t v) { return le16(v & 0xFFFF) + le16(v >> 16); };
    const uint32_t blocks = uint32_t(units.size() / 65);
    std::string fmt =
        le16(0x31) + le16(1) + le32(8000) + le32(1625) + le16(65) + le16(0) + le16(2) + le16(320);
    std::string body = "WAVE";
    body += "fmt " + le32(uint32_t(fmt.size())) + fmt;
    body += "fact" + le32(4) + le32(blocks * 320);
    body += "data" + le32(uint32_t(units.size())) + units;
    if (units.size() % 2 == 1) body += '\0';
    return "RIFF" + le32(uint32_t(body.size())) + body;
}
