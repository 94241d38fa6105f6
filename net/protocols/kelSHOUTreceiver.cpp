#include "net/protocols/kelSHOUTreceiver.h"

#include "core/kelTextUtils.h"
#include "core/kelUtf.h"
#include "net/protocols/kelDecimal.h"
#include "net/protocols/kelICYWire.h"
#include "net/protocols/kelSocketSendAll.h"
#include "net/sockets/kelURICrack.h"
#include "platform/kelSocketApi.h"

#include <string>
#include <vector>

namespace {

constexpr uint64_t kConnectWaitMs = 6000;
constexpr uint64_t kRedirectWaitMs = 3000;
constexpr uint64_t kSendStallMs = 2000;
constexpr size_t kReadSize = 16384;
constexpr intptr_t kFieldsTimeout = 100;

} // namespace

kelSHOUTreceiver::kelSHOUTreceiver(const kelString& uri, const kelString& userAgent, bool allowMetadata)
    : f_uri(uri), f_agent(userAgent), f_metaOK(allowMetadata)
{
    f_libOK = setup();
}

kelSHOUTreceiver::~kelSHOUTreceiver() = default;

bool kelSHOUTreceiver::setup()
{
    kelURICrack crack;
    if (!crackURI(f_uri, crack)) {
        f_errorCode = kelSHOUTErrBadURI;
        return false;
    }
    if (crack.r_scheme != u"http") {
        f_errorCode = kelSHOUTErrNotHTTP;
        return false;
    }
    f_host = crack.r_hostName;
    f_songPath = crack.r_path.empty() ? kelString(u"/") : crack.r_path;
    f_songPath += crack.r_extraInfo;
    f_port = crack.r_port != 0 ? crack.r_port : 80;
    f_socket = std::make_unique<kelTcpSocket>();
    f_socket->setHost(f_host);
    f_socket->setPort(f_port);
    f_errorCode = 0;
    return true;
}

bool kelSHOUTreceiver::connectSocket(uint64_t writableWaitMs)
{
    const int rc = f_socket->connect();
    if (rc != 0) {
        f_errorCode = -static_cast<intptr_t>(rc);
        return false;
    }
    const kelClock& clock = f_clock.get();
    const uint64_t since = clock.nowMs();
    while (!shouldStop()) {
        if (f_socket->okToWrite(10)) return true;
        if (clock.msSince(since) >= writableWaitMs) break;
    }
    if (!shouldStop()) f_errorCode = kelSHOUTErrTimeout;
    return false;
}

void kelSHOUTreceiver::startIn()
{
    {
        kelLock lock(&f_fieldsLock, false, kFieldsTimeout);
        f_srv_bitrate.clear();
        f_srv_genre.clear();
        f_srv_name.clear();
        f_srv_url.clear();
        f_song_title.clear();
        f_song_url.clear();
        f_answerHeader.clear();
    }
    f_redirects = 0;
    f_mode = -1;
    if (!f_libOK || !f_socket) return;
    // A new run starts clean: the code of the last one ended it.
    f_errorCode = 0;
    f_parser = std::make_unique<kelHTTPparser>();
    // The header is bounded; what follows it in the same reads is stream.
    f_parser->setLimits(kelSHOUTMaxHeader, 2 * kReadSize);
}

intptr_t kelSHOUTreceiver::execute(uintptr_t)
{
    if (!f_libOK || !f_parser) return 0;
    if (!connectSocket(kConnectWaitMs)) return 0;
    f_mode = 0;
    std::vector<uint8_t> buf(kReadSize);
    const kelClock& clock = f_clock.get();
    while (f_errorCode == 0 && !shouldStop()) {
        if (f_mode == 0) {
            const std::string get =
                kelICYBuildGet(utf16ToUtf8(f_songPath), utf16ToUtf8(f_host), utf16ToUtf8(f_agent), f_metaOK);
            const int rc = kelSendAll(*f_socket, get.data(), get.size(), clock, kSendStallMs,
                                      [this] { return shouldStop(); });
            if (rc != 0) {
                f_errorCode = -static_cast<intptr_t>(rc);
                break;
            }
            f_parser->cleanup();
            f_headerSince = clock.nowMs();
            f_mode = 1;
            continue;
        }
        if (!waitReadable(static_cast<int>(f_socket->handle()), 20)) {
            if (f_mode == 1 && clock.msSince(f_headerSince) >= kelSHOUTHeaderTimeoutMs)
                f_errorCode = kelSHOUTErrTimeout;
            else if (f_mode == 2 && clock.msSince(f_lastByteAt) >= kelSHOUTStallTimeoutMs)
                f_errorCode = kelSHOUTErrTimeout;
            continue;
        }
        uint32_t size = static_cast<uint32_t>(buf.size());
        const int rc = f_socket->read(buf.data(), size, 0, true);
        if (rc != 0) {
            f_errorCode = -static_cast<intptr_t>(rc);
            break;
        }
        if (size == 0) {
            f_errorCode = kelSHOUTErrEnded;
            break;
        }
        f_lastByteAt = clock.nowMs();
        if (f_mode == 2) {
            f_splitter.feed(buf.data(), size, *this);
            continue;
        }
        f_parser->feed(buf.data(), size);
        if (f_parser->headerComplete()) {
            onHeader();
        } else if (f_parser->overflow() || f_parser->dataSize() > kelSHOUTMaxHeader) {
            const intptr_t code = f_parser->getRespCode();
            f_errorCode = code > 0 ? -code : kelSHOUTErrHeaderTooLong;
        }
    }
    return 0;
}

void kelSHOUTreceiver::onHeader()
{
    const intptr_t status = f_parser->getRespCode();
    {
        kelLock lock(&f_fieldsLock, false, kFieldsTimeout);
        f_answerHeader = f_parser->getFullHeader();
    }
    if (kelICYIsRedirect(status)) {
        handleRedirect(status);
        return;
    }
    if (status != 200) {
        f_errorCode = status > 0 ? -status : kelSHOUTErrHeaderTooLong;
        return;
    }
    const auto header = [this](const char16_t* name, const char16_t* fallback) {
        kelString v = f_parser->getHeaderValue(kelString(name), true);
        return v.empty() ? f_parser->getHeaderValue(kelString(fallback), true) : v;
    };
    {
        kelLock lock(&f_fieldsLock, false, kFieldsTimeout);
        f_srv_bitrate = header(u"icy-br", u"x-audiocast-bitrate");
        f_srv_genre = header(u"icy-genre", u"x-audiocast-genre");
        f_srv_name = header(u"icy-name", u"x-audiocast-description");
        f_srv_url = header(u"icy-url", u"x-audiocast-server-url");
    }
    const intptr_t metaInt = kelParseDecimal(f_parser->getHeaderValue(kelString(u"icy-metaint"), true));
    f_splitter.reset(metaInt > 0 && metaInt <= 0x7FFFFFFF ? static_cast<uint32_t>(metaInt) : 0);
    f_mode = 2;
    const uintptr_t headerSize = f_parser->headerSize();
    const uintptr_t rest = f_parser->dataSize() - headerSize;
    if (rest > 0) {
        std::vector<uint8_t> tail(f_parser->dataP() + headerSize, f_parser->dataP() + f_parser->dataSize());
        f_splitter.feed(tail.data(), tail.size(), *this);
    }
    f_parser->cleanup();
}

void kelSHOUTreceiver::handleRedirect(intptr_t status)
{
    const kelString next =
        kelICYResolveLocation(URI(), f_parser->getHeaderValue(kelString(u"Location"), true));
    if (next.empty() || f_redirects >= kelICYMaxRedirects) {
        f_errorCode = -status;
        return;
    }
    ++f_redirects;
    f_socket->close(false);
    {
        kelLock lock(&f_fieldsLock, false, kFieldsTimeout);
        f_uri = next;
    }
    if (!setup()) return;
    f_parser->cleanup();
    if (!connectSocket(kRedirectWaitMs)) return;
    f_mode = 0;
}

void kelSHOUTreceiver::startOut()
{
    if (f_socket) f_socket->close(false);
    f_parser.reset();
    f_splitter.reset(0);
}

void kelSHOUTreceiver::onData(const uint8_t*, size_t) {}

void kelSHOUTreceiver::onMetadata(const uint8_t* data, size_t len)
{
    const std::string_view block(reinterpret_cast<const char*>(data), len);
    const kelString title = kelICYMetadataValue(block, "streamtitle");
    const kelString url = kelICYMetadataValue(block, "streamurl");
    kelLock lock(&f_fieldsLock, false, kFieldsTimeout);
    if (!lock) return;
    if (block.find("='") == std::string_view::npos) return;
    if (lower8(block).find("streamtitle='") != std::string::npos) f_song_title = title;
    if (lower8(block).find("streamurl='") != std::string::npos) f_song_url = url;
}

kelString kelSHOUTreceiver::guarded(const kelString& field)
{
    kelLock lock(&f_fieldsLock, true, kFieldsTimeout);
    return lock ? field : kelString();
}

kelString kelSHOUTreceiver::getICYHeaderValue(const kelString& name)
{
    std::string header;
    {
        kelLock lock(&f_fieldsLock, true, kFieldsTimeout);
        if (!lock) return {};
        header = f_answerHeader;
    }
    kelHTTPparser p;
    p.feed(header);
    return p.getHeaderValue(name, false);
}

kelString kelSHOUTreceiver::URI()
{
    return guarded(f_uri);
}
kelString kelSHOUTreceiver::srv_bitrate()
{
    return guarded(f_srv_bitrate);
}
kelString kelSHOUTreceiver::srv_genre()
{
    return guarded(f_srv_genre);
}
kelString kelSHOUTreceiver::srv_name()
{
    return guarded(f_srv_name);
}
kelString kelSHOUTreceiver::srv_url()
{
    return guarded(f_srv_url);
}
kelString kelSHOUTreceiver::song_title()
{
    return guarded(f_song_title);
}
kelString kelSHOUTreceiver::song_url()
{
    return guarded(f_song_url);
}
