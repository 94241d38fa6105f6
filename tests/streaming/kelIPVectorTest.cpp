// Our receiver and transmitter held against data our own coders did not
// make: the ADPCM blocks of make_adpcm_vectors.py in RFC 3551's layout, the
// G.722.1 reference bit streams and outputs, sox's GSM WAV49 units and its
// decoding of them, and CELT payloads of several streams laid out by hand.
// The sox rows skip with a message when sox is missing.

#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestIPCoding.h"
#include "tests/support/kelTestSha256.h"
#include "tests/support/kelTestVectorPackets.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

// PCM for the GSM rows: ten WAV49 units of 320 samples.
std::string gsmInput()
{
    return kelBytesFromSamples(kelSpeechLikeSignal(3200));
}

std::vector<kelTestBytes> joinPairs(const std::vector<kelTestBytes>& units)
{
    std::vector<kelTestBytes> out;
    for (size_t i = 0; i < units.size(); i += 2) {
        out.push_back(units[i]);
        if (i + 1 < units.size())
            out.back().insert(out.back().end(), units[i + 1].begin(), units[i + 1].end());
    }
    return out;
}

struct DVI4Type
{
    uint8_t pt;
    intptr_t rate;
};
const std::vector<DVI4Type> kDVI4Types = {{5, 8000}, {6, 16000}, {16, 11025}, {17, 22050}};

struct ReceiveCase
{
    std::string name;
    kelString sdp; // empty: the first packet's type decides
    uint8_t pt;
    std::vector<kelTestBytes> payloads;
    std::string pcm;    // what the consumers get, or
    std::string digest; // its SHA-256
    intptr_t rate;
    intptr_t celtStreams = 0; // 0: the decoder's own
    uint64_t dropped = 0;
};

// A row whose consumers are to get `pcm`, and one checked by the SHA-256
// of what they get.
ReceiveCase decodesTo(std::string name, uint8_t pt, std::vector<kelTestBytes> payloads, std::string pcm,
                      intptr_t rate, kelString sdp = {})
{
    return {std::move(name), std::move(sdp), pt, std::move(payloads), std::move(pcm), "", rate};
}
ReceiveCase hashesTo(std::string name, uint8_t pt, std::vector<kelTestBytes> payloads, std::string digest,
                     intptr_t rate, kelString sdp = {})
{
    return {std::move(name), std::move(sdp), pt, std::move(payloads), "", std::move(digest), rate};
}

// CELT at 16000 Hz, one channel, `streams` streams a frame: the test
// library decodes every frame to 320 samples. `frames[f][s]` make one
// payload (`extra` bytes behind it); `accepted`: the receiver decodes it,
// else it drops and counts it.
ReceiveCase celtCase(std::string name, const std::vector<std::vector<kelTestBytes>>& frames, intptr_t streams,
                     bool accepted, const kelTestBytes& extra = {})
{
    kelTestBytes payload = kelTestCeltPayload(frames);
    payload.insert(payload.end(), extra.begin(), extra.end());
    std::string pcm;
    if (accepted)
        for (const auto& perStream : frames)
            for (const kelTestBytes& f : perStream)
                pcm += kelTestCeltStandinPCM(f, 320);
    ReceiveCase c =
        decodesTo(std::move(name), 116, {payload}, pcm, 16000, kelTestAudioSDP(116, "CELT/16000/1"));
    c.celtStreams = streams;
    c.dropped = accepted ? 0 : 1;
    return c;
}

// `count` frames of `streams` streams, each frame a few bytes telling it apart.
std::vector<std::vector<kelTestBytes>> celtFrames(size_t count, size_t streams)
{
    std::vector<std::vector<kelTestBytes>> frames(count);
    for (size_t f = 0; f < count; ++f)
        for (size_t s = 0; s < streams; ++s)
            frames[f].push_back(kelTestBytes(1 + (f + s) % 3, uint8_t(f * 16 + s)));
    return frames;
}

} // namespace

TEST(kelIPVectorReceive, ReferencePayloadsDecodeToTheReferenceSamples)
{
    const std::vector<kelTestBytes> dvi4 = kelTestADPCMBlocks("dvi4");
    const std::vector<kelTestBytes> vdvi = kelTestADPCMBlocks("vdvi");
    ASSERT_EQ(dvi4.size(), kelTestADPCMBlockSamples.size());
    ASSERT_EQ(vdvi.size(), kelTestADPCMBlockSamples.size());

    std::vector<ReceiveCase> cases;
    for (const DVI4Type& t : kDVI4Types)
        cases.push_back(decodesTo("DVI4 type " + std::to_string(t.pt), t.pt, dvi4,
                                  kelCodecVector("adpcm_dvi4_decoded.raw"), t.rate));
    cases.push_back(decodesTo("VDVI", 115, vdvi, kelCodecVector("adpcm_vdvi_decoded.raw"), 8000));

    // G.722.1: one 60-byte frame a packet at 16000 Hz, two 120-byte frames
    // a packet at 32000 Hz, three 80-byte frames a packet at 32 kbit/s on
    // the SDP's dynamic type (several whole frames may share a payload).
    const kelTestG7221Vector wide{"speech", 16000, 24000}, superWide{"speech", 32000, 48000},
        wide32{"speech", 16000, 32000};
    cases.push_back(hashesTo("G.722.1 type 120", 120, kelTestG7221Payloads(wide, 1),
                             kelTestG7221ClearedDigest(wide.name() + ".dec.raw"), 16000));
    cases.push_back(hashesTo("G.722.1 type 121", 121, kelTestG7221Payloads(superWide, 2),
                             kelTestG7221ClearedDigest(superWide.name() + ".dec.raw"), 32000));
    cases.push_back(hashesTo("G.722.1 32 kbit/s on type 96", 96, kelTestG7221Payloads(wide32, 3),
                             kelTestG7221ClearedDigest(wide32.name() + ".dec.raw"), 16000,
                             kelTestAudioSDP(96, "G7221/16000/1", "bitrate=32")));

    const std::optional<kelTestSoxGSM> sox = kelTestSoxGSM49(gsmInput());
    if (sox) {
        const std::vector<kelTestBytes> units = kelTestPieces(sox->units, 65);
        EXPECT_EQ(units.size(), 10u);
        cases.push_back(decodesTo("GSM49 from sox, a unit a packet", 119, units, sox->decoded, 8000));
        cases.push_back(
            decodesTo("GSM49 from sox, two units a packet", 119, joinPairs(units), sox->decoded, 8000));
    }

    // CELT: the length entries of every frame's streams first.
    std::vector<std::vector<kelTestBytes>> twoStreams = celtFrames(3, 2);
    twoStreams[1][1] = kelTestBytes(300, 0x5A); // an entry of two bytes: 255 45
    cases.push_back(celtCase("CELT 2 streams", twoStreams, 2, true));
    cases.push_back(celtCase("CELT 16 streams, 50 frames", celtFrames(50, 16), 16, true));
    cases.push_back(celtCase("CELT 16 streams, 51 frames", celtFrames(51, 16), 16, false));
    cases.push_back(celtCase("CELT 17 streams", celtFrames(1, 17), 17, false));
    cases.push_back(
        celtCase("CELT 2 streams, a byte more than the entries say", celtFrames(2, 2), 2, false, {7}));

    kelTestPeer peer;
    ASSERT_TRUE(peer.ok());
    for (const ReceiveCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.payloads.empty());
        ASSERT_TRUE(!c.pcm.empty() || !c.digest.empty() || c.dropped > 0) << "no reference";
        kelOwned<kelTestFedReceiver> rx(kelCreate<kelTestFedReceiver>());
        ASSERT_TRUE(rx);
        rx->setExLib(c_lib_celt, kelString(kelTestCeltLibrary.begin(), kelTestCeltLibrary.end()));
        if (!c.sdp.empty()) rx->setSDP(c.sdp);
        ASSERT_TRUE(rx->openTowards(peer));
        if (c.celtStreams > 0) {
            ASSERT_TRUE(rx->setCeltStreams(c.celtStreams));
        }
        uint16_t seq = 1;
        for (const kelTestBytes& p : c.payloads)
            rx->feedRTP(c.pt, p, seq++);
        EXPECT_EQ(rx->samplingRate(), c.rate);
        const std::string pcm = rx->pcm();
        if (!c.digest.empty()) {
            EXPECT_EQ(kelTestSha256(pcm.data(), pcm.size()), c.digest) << pcm.size() << " bytes";
        } else {
            EXPECT_TRUE(pcm == c.pcm) << pcm.size() << " bytes, expected " << c.pcm.size();
        }
        EXPECT_EQ(rx->droppedPayloads(), c.dropped);
        rx->close();
    }
    if (!sox) GTEST_SKIP() << "sox is not installed (scripts/deps/codecs.txt): the GSM49 rows did not run";
}

namespace {

struct SendCase
{
    std::string name;
    uint8_t pt;
    kelString sdp;
    std::vector<kelTestBytes> writes;
    std::vector<kelTestBytes> payloads;
    std::vector<uint32_t> steps; // timestamp step to each packet from the one before
};

std::vector<uint32_t> uniformSteps(size_t packets, uint32_t step)
{
    return std::vector<uint32_t>(packets > 0 ? packets - 1 : 0, step);
}

} // namespace

TEST(kelIPVectorTransmit, ReferenceInputGoesOutAsTheReferencePayloads)
{
    const std::vector<kelTestBytes> writes = kelTestADPCMInputWrites();
    // Our transmitter keeps an odd sample for the next write, where the
    // vectors' coder leaves it uncoded: the writes are the samples each
    // block codes, and each packet moves the timestamp on by them.
    std::vector<uint32_t> adpcmSteps;
    for (size_t i = 1; i < writes.size(); ++i)
        adpcmSteps.push_back(uint32_t(writes[i].size() / 2));

    std::vector<SendCase> cases;
    for (const DVI4Type& t : kDVI4Types)
        cases.push_back({"DVI4 type " + std::to_string(t.pt), t.pt, kelTestAudioSDP(t.pt), writes,
                         kelTestADPCMBlocks("dvi4"), adpcmSteps});
    cases.push_back(
        {"VDVI", 115, kelTestAudioSDP(115, "VDVI/8000/1"), writes, kelTestADPCMBlocks("vdvi"), adpcmSteps});

    // G.722.1: the reference input, written 1000 bytes at a time, goes out
    // a reference frame a packet.
    struct G7221Type
    {
        uint8_t pt;
        kelTestG7221Vector vector;
        const char* fmtp;
    };
    for (const G7221Type& t : {G7221Type{120, {"speech", 16000, 24000}, "bitrate=24"},
                               G7221Type{121, {"speech", 32000, 48000}, "bitrate=48"},
                               G7221Type{96, {"speech", 16000, 32000}, "bitrate=32"}}) {
        const std::vector<kelTestBytes> frames = kelTestG7221Payloads(t.vector, 1);
        const std::string rtpmap = "G7221/" + std::to_string(t.vector.sampleRate) + "/1";
        cases.push_back({"G.722.1 " + t.vector.name() + " on type " + std::to_string(t.pt), t.pt,
                         kelTestAudioSDP(t.pt, rtpmap, t.fmtp),
                         kelTestPieces(kelTestG7221File(t.vector.stem() + ".raw"), 1000), frames,
                         uniformSteps(frames.size(), uint32_t(t.vector.sampleRate / 50))});
    }

    const std::string gsmPCM = gsmInput();
    const std::optional<kelTestSoxGSM> sox = kelTestSoxGSM49(gsmPCM);
    if (sox) {
        const std::vector<kelTestBytes> units = kelTestPieces(sox->units, 65);
        cases.push_back({"GSM49 as sox writes it", 119, kelTestAudioSDP(119, "GSM49/8000/1"),
                         kelTestPieces(gsmPCM, 1000), units, uniformSteps(units.size(), 320)});
    }

    for (const SendCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_GT(c.payloads.size(), 1u);
        kelTestPeer peer;
        kelOwned<TkelIPTransmitter> tx = kelTestCodingTransmitter(peer, c.sdp, [](TkelIPTransmitter&) {});
        ASSERT_TRUE(tx);
        for (const kelTestBytes& w : c.writes)
            EXPECT_EQ(tx->write(w.data(), uint32_t(w.size())), w.size());
        std::vector<kelTestBytes> got;
        for (size_t i = 0; i < c.payloads.size(); ++i) {
            got.push_back(peer.receiveRTP(c.pt, 10000));
            ASSERT_FALSE(got.back().empty()) << "packet " << i;
            EXPECT_EQ(kelTestRTPPayload(got.back()), c.payloads[i]) << "packet " << i;
        }
        for (size_t i = 0; i < c.steps.size(); ++i)
            EXPECT_EQ(kelTestRTPTimestamp(got[i + 1]) - kelTestRTPTimestamp(got[i]), c.steps[i]) << i;
        EXPECT_TRUE(peer.receiveRTP(c.pt, 100).empty()) << "more packets than expected";
        tx->close();
    }
    if (!sox) GTEST_SKIP() << "sox is not installed (scripts/deps/codecs.txt): the GSM49 row did not run";
}
