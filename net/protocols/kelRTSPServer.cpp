#include "net/protocols/kelRTSPServer.h"

#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "net/protocols/kelRTSPTables.h"
#include "net/sockets/kelSocksConnection.h"
#include "net/sockets/kelSocksThread.h"

#include <arpa/inet.h>

#include <cstdlib>

namespace {

constexpr int64_t kCloseTimeout = 2700;
constexpr int64_t kLookupTimeout = 300;
constexpr int64_t kSendTimeout = 500;
constexpr int kDefaultPort = 554;

int portFrom(const kelString& port) noexcept
{
    const std::string text = utf16ToUtf8(port);
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return kDefaultPort;
    const long value = std::strtol(text.c_str() + first, nullptr, 10);
    return value <= 0 || value > 65535 ? kDefaultPort : static_cast<int>(value);
}

} // namespace

kelRTSPServer::kelRTSPServer() : kelSocks(1, false) {}

int kelRTSPServer::open(int transport, const kelString& port, const kelString& bindTo) noexcept
{
    close();
    const uint32_t id = createServer(portFrom(port), transport, true, 4, 60000, bindTo, false);
    f_threadID.store(id);
    return id != 0 ? 0 : -1;
}

void kelRTSPServer::close() noexcept
{
    const uint32_t id = f_threadID.exchange(0);
    if (id != 0) (void)closeThread(id, kCloseTimeout);
    clear(true, true);
    f_active.store(false);
}

void kelRTSPServer::beforeDestruction()
{
    close();
    kelSocks::beforeDestruction();
    f_parsers.clear(2, true);
}

uint16_t kelRTSPServer::boundPort() noexcept
{
    kelSocksThread* thread = getThreadByID(f_threadID.load());
    sockaddr_in addr{};
    if (!thread || !thread->threadSocket() || thread->threadSocket()->getSockAddrBound(addr) != 0) return 0;
    return ntohs(addr.sin_port);
}

void kelRTSPServer::raiseEvent(kelSocketEvent event, uint32_t id, uintptr_t connId, const void* data,
                               uintptr_t size)
{
    kelSocks::raiseEvent(event, id, connId, data, size);
    switch (event) {
    case kelseServerListen:
        f_active.store(true);
        break;
    case kelseServerStop:
        f_active.store(false);
        break;
    case kelseServerConnect:
        if (f_parsers.lock(false)) {
            if (!f_parsers.parser(connId)) f_parsers.add(kelCreate<kelRTSPServerParser>(int64_t(connId)));
            f_parsers.unlockWO();
        }
        break;
    case kelseServerData:
        serve(id, kelSocksConnId(connId), data, size);
        break;
    case kelseServerDisconnect:
        if (f_parsers.lock(false)) {
            if (kelRTSPServerParser* parser = f_parsers.parser(connId)) f_parsers.removeItem(parser, 1);
            f_parsers.unlockWO();
        }
        break;
    default:
        break;
    }
}

void kelRTSPServer::serve(uint32_t id, uint32_t connId, const void* data, uintptr_t size) noexcept
{
    const kelString peer = peerOf(id, connId);
    const kelRTSPRequestHandler handler = [this](intptr_t method, const kelString& from,
                                                 const kelHTTPparser& request, kelRTSPAnswer& answer) {
        onRequest(method, from, request, answer.headers, answer.body, answer.humanMsg, answer.code);
    };
    kelRTSPServerParser::Output out;
    // A connection's data comes from one delivery thread, so its parser is
    // only ever fed by one thread; the list lock keeps it from being dropped
    // meanwhile.
    if (!f_parsers.lock(false)) return;
    kelRTSPServerParser* parser = f_parsers.parser(connId);
    if (parser)
        out = parser->receive(
            data, size, peer, handler, [] { return kelRTSPDate(kelRTSPWallClockMs()); }, clock().nowMs());
    f_parsers.unlockWO();
    if (!out.bytes.empty())
        (void)sendData(id, out.bytes.data(), static_cast<uint32_t>(out.bytes.size()), connId, nullptr, false,
                       kSendTimeout);
    if (out.close) (void)removeConnection(id, connId);
}

kelString kelRTSPServer::peerOf(uint32_t id, uint32_t connId) noexcept
{
    kelSocksConnection* conn = getConnection(id, connId, kLookupTimeout, true);
    if (!conn) return {};
    char text[INET_ADDRSTRLEN] = {};
    const bool ok = ::inet_ntop(AF_INET, &conn->paddr()->sin_addr, text, sizeof text) != nullptr;
    conn->release();
    return ok ? utf8ToUtf16(text) : kelString{};
}

bool kelRTSPServer::sendResponse(const kelRTSPServerParser& request, intptr_t responseCode,
                                 const kelString& headers, const std::string& body,
                                 const kelString& humanMsg) noexcept
{
    const uint32_t id = f_threadID.load();
    const auto connId = static_cast<uint32_t>(request.id());
    kelSocksConnection* conn = getConnection(id, connId, kLookupTimeout, true);
    if (!conn) return false;
    conn->release();
    kelRTSPAnswer answer;
    answer.code = responseCode;
    answer.headers = headers;
    answer.body = body;
    answer.humanMsg = humanMsg;
    const std::string bytes = kelRTSPBuildAnswer(answer, request, kelRTSPDate(kelRTSPWallClockMs()));
    return sendData(id, bytes.data(), static_cast<uint32_t>(bytes.size()), connId, nullptr, false,
                    kSendTimeout) == 0;
}

void kelRTSPServer::onRequest(intptr_t, const kelString&, const kelHTTPparser&, kelString&, std::string&,
                              kelString&, intptr_t&)
{}
