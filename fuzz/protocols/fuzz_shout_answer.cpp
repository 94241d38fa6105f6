// A server's answers to our SHOUTcast/Icecast clients: the source login
// judgement byte by byte, the receiver's answer header with its redirect
// resolution, and the wire text built from hostile values, which must never
// carry a CR or LF of theirs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/kelUtf.h"
#include "net/protocols/kelHTTPparser.h"
#include "net/protocols/kelICYWire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (bool dnas : {false, true}) {
        for (size_t n = 0; n <= bytes.size() && n < 64; ++n) {
            const kelSHOUTAnswer a = kelSHOUTJudgeAnswer(std::string_view(bytes).substr(0, n), dnas, false);
            if (a.state > 1 || (n <= 11 && a.state != 0)) std::abort();
        }
        const kelSHOUTAnswer end = kelSHOUTJudgeAnswer(bytes, dnas, true);
        if (end.state == 0 || end.state > 1 || end.iceCode < 0 || end.iceCode > 999) std::abort();
    }
    kelHTTPparser p;
    p.setLimits(16000, 32768);
    p.feed(bytes);
    if (p.headerComplete()) {
        (void)p.getRespCode();
        const kelString next = kelICYResolveLocation(u"http://127.0.0.1:8000/a/b",
                                                     p.getHeaderValue(kelString(u"Location"), true));
        (void)next;
        (void)p.getHeaderValue(kelString(u"icy-metaint"), true);
    }
    kelIcecastLogin login;
    login.path = login.name = login.url = login.genre = login.extraInfo = login.password = bytes;
    const std::string text = kelICYBuildSourceLogin(login) + kelICYBuildGet(bytes, bytes, bytes, true);
    // Every CR is the start of a CR LF line end, and every LF ends one.
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')) std::abort();
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) std::abort();
    }
    if (kelICYBuildDNASAdmin(bytes).find_first_of("\r ", 0) != std::string("GET").size()) std::abort();
    return 0;
}
