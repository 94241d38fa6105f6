#pragma once
// A scripted RTSP server for client tests: a kelTestScriptedServer on
// 127.0.0.1 whose TCP requests are framed as RTSP messages (a header ended by
// an empty line, then Content-Length bytes), with helpers that read a
// request and build an answer. The script runs on the server's thread.

#include "tests/support/kelTestScriptedServer.h"

#include <cctype>
#include <memory>
#include <string>
#include <vector>

namespace kelTestRTSP {

inline std::string text(const kelTestBytes& b)
{
    return std::string(b.begin(), b.end());
}

// Value of header `name` (case ignored, trimmed), empty when missing.
inline std::string header(const std::string& msg, const std::string& name)
{
    size_t pos = msg.find("\r\n");
    while (pos != std::string::npos && pos + 2 < msg.size()) {
        const size_t start = pos + 2;
        const size_t end = msg.find("\r\n", start);
        if (end == std::string::npos || end == start) break;
        const std::string line = msg.substr(start, end - start);
        const size_t colon = line.find(':');
        if (colon == name.size()) {
            bool same = true;
            for (size_t i = 0; i < colon && same; ++i)
                same = std::tolower(static_cast<unsigned char>(line[i])) ==
                       std::tolower(static_cast<unsigned char>(name[i]));
            if (same) {
                size_t v = colon + 1;
                while (v < line.size() && line[v] == ' ')
                    ++v;
                return line.substr(v);
            }
        }
        pos = end;
    }
    return {};
}

inline std::string method(const std::string& msg)
{
    return msg.substr(0, msg.find(' '));
}

// The size of the RTSP message at the front of `b`, 0 while incomplete.
inline size_t frame(const kelTestBytes& b)
{
    const std::string s = text(b);
    const size_t end = s.find("\r\n\r\n");
    if (end == std::string::npos) return 0;
    const std::string length = header(s.substr(0, end + 2), "Content-Length");
    const size_t body = length.empty() ? 0 : std::stoul(length);
    return end + 4 + body <= b.size() ? end + 4 + body : 0;
}

// "RTSP/1.0 <code> <reason>", CSeq of `request`, `headers` (each line ended
// by CR LF), Content-Length and the body when there is one.
inline kelTestBytes answer(const std::string& request, int code, const std::string& reason,
                           const std::string& headers = {}, const std::string& body = {})
{
    std::string a = "RTSP/1.0 " + std::to_string(code) + " " + reason +
                    "\r\nCSeq: " + header(request, "CSeq") + "\r\n" + headers;
    if (!body.empty()) a += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    a += "\r\n" + body;
    return kelTestBytes(a.begin(), a.end());
}

class Server
{
public:
    // The UDP port the scripted server draws may be taken for TCP (by a
    // client's own connection): draw again.
    Server()
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            f_owned = std::make_unique<kelTestScriptedServer>("127.0.0.1", frame);
            if (f_owned->ok()) break;
        }
    }
    bool ok() const { return f_owned->ok(); }
    uint16_t port() const { return f_owned->port(); }
    std::string base() const { return "rtsp://127.0.0.1:" + std::to_string(port()); }
    // `script` gets each request's text and returns its replies (none: a
    // silent server); `close` ends the connection after them.
    void setScript(std::function<std::vector<kelTestBytes>(const std::string&, bool& close)> script)
    {
        f_owned->setScript([script](const kelTestScriptedServer::Request& r) {
            kelTestScriptedServer::Action act;
            for (auto& reply : script(text(r.data), act.close))
                act.replies.push_back({reply, -1, {}});
            return act;
        });
    }
    // The requests so far, as text.
    std::vector<std::string> requests()
    {
        std::vector<std::string> out;
        for (const auto& r : f_owned->requests())
            if (r.tcp) out.push_back(text(r.data));
        return out;
    }
    // The first request of `method`, empty when none came.
    std::string first(const std::string& m)
    {
        for (const auto& r : requests())
            if (method(r) == m) return r;
        return {};
    }
    size_t count(const std::string& m)
    {
        size_t n = 0;
        for (const auto& r : requests())
            n += method(r) == m;
        return n;
    }

private:
    std::unique_ptr<kelTestScriptedServer> f_owned;
};

} // namespace kelTestRTSP
