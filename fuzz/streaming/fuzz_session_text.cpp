// Reads arbitrary bytes as the texts an RTSP client hands the transmitter:
// a session id (session2id) and an add-session command text, and checks
// that what comes out is consistent with what went in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/kelUtf.h"
#include "net/protocols/kelRE.h"
#include "streaming/kelIPTransRTSPSession.h"

namespace {

const char16_t kDigits[] = u"0123456789ABCDEFGHIJKLMNOPQRSTUV";

// The id written back in base 32, without leading zeros.
kelString base32(int64_t id)
{
    kelString text;
    auto v = static_cast<uint64_t>(id);
    do {
        text.insert(text.begin(), kDigits[v % 32]);
        v /= 32;
    } while (v != 0);
    return text;
}

kelString canonical(const kelString& session)
{
    kelString text;
    for (char16_t c : session)
        text.push_back(c >= u'a' && c <= u'v' ? static_cast<char16_t>(c - 32) : c);
    const size_t first = text.find_first_not_of(u'0');
    return first == kelString::npos ? kelString(u"0") : text.substr(first);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const kelString text = utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));

    const int64_t id = session2id(text);
    if (id < -1) std::abort();
    if (id >= 0 && base32(id) != canonical(text)) std::abort();

    static kelRE* compiled = [] {
        kelRE* re = nullptr;
        if (reCompile(kelSessionDestPattern, re) != 0) std::abort();
        return re;
    }();
    kelString session = u"unset", uri = u"unset";
    if (kelSplitSessionCommand(compiled, text, session, uri)) {
        if (uri.empty()) std::abort();
        // "*", any text, "*", the session, "*", the URI: the URI ends the
        // text and the session stands right before it.
        const kelString tail = u"*" + session + u"*" + uri;
        if (text.size() < tail.size() + 1 || text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
            std::abort();
    } else if (session != u"unset" || uri != u"unset") {
        std::abort(); // a failed split leaves the outputs alone
    }
    return 0;
}
