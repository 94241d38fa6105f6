// The receiver on http URIs against a scripted SHOUTcast server on
// 127.0.0.1: the stream is handed on byte for byte without its metadata,
// the title becomes descriptionInfo, and the end of the run reads closed
// with its text. The title and error texts are table-tested on their own.
#include "streaming/kelIPReceiverSHOUT.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestScriptedServer.h"
#include "tests/support/kelTestWait.h"

#include "core/kelUtf.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>

namespace {

size_t httpFrame(const kelTestBytes& b)
{
    const std::string s(b.begin(), b.end());
    const size_t end = s.find("\r\n\r\n");
    return end == std::string::npos ? 0 : end + 4;
}

kelTestBytes bytes(const std::string& s)
{
    return kelTestBytes(s.begin(), s.end());
}

struct ShoutRun
{
    // Its UDP port may be taken for TCP: drawn again then.
    std::unique_ptr<kelTestScriptedServer> owned = [] {
        auto s = std::make_unique<kelTestScriptedServer>("127.0.0.1", httpFrame);
        for (int attempt = 0; attempt < 20 && !s->ok(); ++attempt)
            s = std::make_unique<kelTestScriptedServer>("127.0.0.1", httpFrame);
        return s;
    }();
    kelTestScriptedServer& server = *owned;
    kelOwned<TkelIPReceiver> r{kelCreate<TkelIPReceiver>()};
    std::mutex m;
    std::string raw;

    void start(const std::string& answer)
    {
        server.setScript([answer](const kelTestScriptedServer::Request&) {
            kelTestScriptedServer::Action act;
            act.replies.push_back({bytes(answer), -1, {}});
            act.close = true;
            return act;
        });
        r->setOnRAWDataWrite([this](kelmtlInOutPipe*, const void* d, uint32_t n) {
            std::lock_guard<std::mutex> l(m);
            raw.append(static_cast<const char*>(d), n);
        });
        r->setURI(utf8ToUtf16("http://" + server.entry() + "/live"));
    }
    std::string got()
    {
        std::lock_guard<std::mutex> l(m);
        return raw;
    }
};

TEST(kelIPReceiverSHOUTTest, StreamGoesOnWithoutMetadataAndItsEndReadsClosed)
{
    ShoutRun run;
    ASSERT_TRUE(run.server.ok());
    std::string meta = "StreamTitle='A - B';StreamUrl='';";
    meta.resize(48, '\0');
    run.start("ICY 200 OK\r\nicy-metaint: 8\r\ncontent-type: audio/mpeg\r\n\r\nABCDEFGH" +
              std::string(1, '\x03') + meta + "IJKLMNOP" + std::string(1, '\0') + "QR");
    // The run may end before open() returns, which then reads closed.
    (void)run.r->open();
    ASSERT_TRUE(kelTestWaitUntil([&] { return !run.r->active(); })) << run.got();
    EXPECT_EQ(run.got(), "ABCDEFGHIJKLMNOPQR");
    EXPECT_EQ(run.r->encoding(), 17);
    EXPECT_EQ(run.r->descriptionInfo(), u"A - B");
    EXPECT_EQ(run.r->descriptionError(), u"SHOUT Error: -10058");
    const auto requests = run.server.requests();
    ASSERT_FALSE(requests.empty());
    const std::string request(requests[0].data.begin(), requests[0].data.end());
    EXPECT_EQ(request.rfind("GET /live HTTP/1.", 0), 0u) << request;
    run.r->close();
}

TEST(kelIPReceiverSHOUTTest, RefusedStreamsReadClosedWithTheStatusText)
{
    const std::pair<const char*, const char16_t*> cases[] = {
        {"HTTP/1.0 404 File Not Found\r\n\r\n", u"404 Not Found"},
        {"HTTP/1.0 403 Forbidden\r\n\r\n", u"403 Forbidden"},
        {"HTTP/1.0 401 Authentication Required\r\n\r\n", u"401 Unauthorized"},
        {"HTTP/1.0 500 Internal Server Error\r\n\r\n", u"SHOUT Error: -500"},
    };
    for (const auto& [answer, text] : cases) {
        SCOPED_TRACE(answer);
        ShoutRun run;
        ASSERT_TRUE(run.server.ok());
        run.start(answer);
        (void)run.r->open();
        ASSERT_TRUE(kelTestWaitUntil([&] { return !run.r->active(); }));
        EXPECT_EQ(utf16ToUtf8(run.r->descriptionError()), utf16ToUtf8(text));
        run.r->close();
    }
}

TEST(kelIPReceiverSHOUTTest, TitleIsTheStreamTitleValue)
{
    const std::pair<std::string, kelString> cases[] = {
        {"StreamTitle='A - B';", u"A - B"},
        {std::string("StreamTitle='A - B';StreamUrl='';\0\0\0", 36), u"A - B"},
        {"StreamTitle='Don't Stop; Live';StreamUrl='x';", u"Don't Stop; Live"},
        {"StreamTitle='';", u""},
        {"StreamTitle='cut", u"cut"},
        {"StreamTitle='\xC3\xA9t\xC3\xA9';", u"\u00E9t\u00E9"},
    };
    for (const auto& [meta, title] : cases)
        EXPECT_EQ(utf16ToUtf8(kelSHOUTStreamTitle(meta)), utf16ToUtf8(title)) << meta;
}

} // namespace
