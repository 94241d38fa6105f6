#pragma once
// Scaffolding for the IP components' audio coding against third-party
// peers on 127.0.0.1 (ffmpeg, gst-launch-1.0): our receiver with a sink
// behind it, our transmitter aimed at a peer's port, free port pairs beside
// a taken one, and the checks whether a peer's GStreamer element is there.
// The test's own thread.

#include "core/kelUtf.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPipes.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestRTPPackets.h"
#include "tests/support/kelTestWait.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

// A command line split at white space (no quoting: the peers' arguments
// carry none).
inline std::vector<std::string> kelTestWords(const std::string& line)
{
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

// An even port above `taken` whose pair (RTP, RTCP) is free; 0 when none.
inline uint16_t kelTestPortBeside(uint16_t taken)
{
    for (uint32_t p = taken + 2u; p < taken + 2000u && p < 65534u; p += 2)
        if (kelTestUdpPortFree(uint16_t(p)) && kelTestUdpPortFree(uint16_t(p + 1))) return uint16_t(p);
    return 0;
}

// Whether every one of `elements` is a GStreamer element here.
inline bool kelTestGstHas(std::initializer_list<const char*> elements)
{
    if (!kelTestProcess::available("gst-inspect-1.0")) return false;
    for (const char* e : elements)
        if (kelTestProcess::runToEnd({"gst-inspect-1.0", "--exists", e}, 30000) != 0) return false;
    return true;
}

// Our receiver bound to 127.0.0.1:`port`, taking RTP from the peer's
// `txPort`, with a sink behind it.
struct kelTestPeerReceiver
{
    kelOwned<TkelIPReceiver> rx{kelCreate<TkelIPReceiver>()};
    kelOwned<kelTestByteSink> sink{kelCreate<kelTestByteSink>()};

    bool open(uint16_t port, uint16_t txPort, const kelString& sdp)
    {
        if (!rx || !sink || !rx->addConsumer(sink.get())) return false;
        rx->setIsFormatProvider(true);
        rx->setURI(kelTestURI(txPort));
        rx->setBind2ip(u"127.0.0.1");
        rx->setBind2port(utf8ToUtf16(std::to_string(port)));
        if (!sdp.empty()) rx->setSDP(sdp);
        return rx->open() && (sink->active() || sink->open());
    }
    ~kelTestPeerReceiver()
    {
        if (rx && sink) {
            rx->close();
            rx->removeConsumer(sink.get());
        }
    }
};

// Our transmitter on a free port (beside the peers') with `sdp` applied (after `setup`), whose
// destinations are 127.0.0.1:`peerPorts`: a hole packet from each of those
// ports made it so, before the peers bind them. Null when a step failed; an
// open transmitter whose descriptionError is not empty lacks a coder library.
template <class Setup>
kelOwned<TkelIPTransmitter> kelTestTransmitterTo(const std::vector<uint16_t>& peerPorts, const kelString& sdp,
                                                 Setup setup)
{
    // Above the peers' ports, which are not bound yet and so look free.
    const uint16_t port =
        peerPorts.empty() ? 0 : kelTestPortBeside(*std::max_element(peerPorts.begin(), peerPorts.end()));
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    if (port == 0 || !tx) return {};
    tx->setURI(kelTestURI(port));
    setup(*tx);
    tx->setSDP(sdp);
    if (!tx->open()) return {};
    if (!tx->descriptionError().empty()) return tx;
    // Each peer is a receiver of its own, known by its own SSRC.
    uint32_t ssrc = 0x12345678;
    for (const uint16_t peer : peerPorts)
        if (peer == 0 || !kelTestSendFrom(peer, port, kelTestRTPPacket(13, 1, {0}, 0, ssrc++))) return {};
    const auto wanted = intptr_t(peerPorts.size());
    if (!kelTestWaitUntil([&] { return tx->rootDestCount() >= wanted; }, 10000)) return {};
    return tx;
}
template <class Setup>
kelOwned<TkelIPTransmitter> kelTestTransmitterTo(uint16_t peerPort, const kelString& sdp, Setup setup)
{
    return kelTestTransmitterTo(std::vector<uint16_t>{peerPort}, sdp, setup);
}

// A whole session description of one audio stream to 127.0.0.1:`port`,
// payload type `pt` with `rtpmap` ("PCMU/8000"): what a receiver that
// reads a file of it (ffmpeg -i x.sdp) needs, and what our transmitter
// takes its format from.
inline std::string kelTestListenerSDP(uint16_t port, int pt, const std::string& rtpmap)
{
    const std::string type = std::to_string(pt);
    return "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=kel\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
           std::to_string(port) + " RTP/AVP " + type + "\r\na=rtpmap:" + type + " " + rtpmap + "\r\n";
}

// The files in `dir`, in name order.
inline std::vector<std::string> kelTestFilesIn(const std::string& dir)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        if (e.is_regular_file()) out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}
