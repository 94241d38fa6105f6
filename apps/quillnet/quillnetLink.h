#pragma once
// What the window needs of its transmitter and of its receiver: one object
// per component, opened on a URI and closed again. The window owns two
// links, `TX` (sends typed text) and `RX` (raises received text), and never
// sees the component behind them, so the IP streaming components and the
// tests' in-process fake plug in the same way.

#include "core/kelTypes.h"

#include <functional>

class quillnetLink
{
public:
    // Called with every received text, on whatever thread the component
    // receives on. It must not block and must not call back into the link.
    using textHandler = std::function<void(const kelString& text)>;

    virtual ~quillnetLink() = default;

    // False when the program was built without a component behind this
    // link; errorText() then says so and open() always fails.
    virtual bool available() const { return true; }

    // Window thread. Set before open(); a receiver raises it while open.
    virtual void setTextHandler(textHandler handler) = 0;
    // Window thread. Opens on `uri`; false (link stays closed, errorText()
    // set) when that fails.
    virtual bool open(const kelString& uri) = 0;
    // Window thread. Once it returns, the text handler is not running and
    // will not be raised again until the next open().
    virtual void close() = 0;
    // Any thread.
    virtual bool active() const = 0;
    // Window thread. Sends one text; nothing while closed.
    virtual void sendText(const kelString& text) = 0;
    // Why the last open failed, in the component's own words; empty after a
    // successful open.
    virtual kelString errorText() const = 0;
};

// The link of a program built before the IP streaming components: it never
// opens and says why.
class quillnetUnavailableLink final : public quillnetLink
{
public:
    static constexpr char16_t kErrorText[] = u"IP components are not available";

    bool available() const override { return false; }
    void setTextHandler(textHandler) override {}
    bool open(const kelString&) override { return false; }
    void close() override {}
    bool active() const override { return false; }
    void sendText(const kelString&) override {}
    kelString errorText() const override { return kErrorText; }
};
