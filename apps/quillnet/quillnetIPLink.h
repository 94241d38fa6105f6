#pragma once
// quillnetIPLink: the window's link to a real IP component, either the
// transmitter (sends what is typed) or the receiver (raises what arrives).
//
// Threads: everything but the text handler runs on the window thread; the
// receiver raises the handler on its RTP thread. close() stops that thread,
// so once it returns the handler is not running.

#include "apps/quillnet/quillnetLink.h"
#include "core/kelCreate.h"
#include "streaming/kelIPStreaming.h"

#include <memory>
#include <mutex>

class quillnetIPLink final : public quillnetLink
{
public:
    enum class role { transmitter, receiver };

    static constexpr char16_t kCannotOpen[] = u"Cannot open the IP component";

    explicit quillnetIPLink(role which);
    ~quillnetIPLink() override;
    quillnetIPLink(const quillnetIPLink&) = delete;
    quillnetIPLink& operator=(const quillnetIPLink&) = delete;

    bool available() const override { return f_component != nullptr; }
    void setTextHandler(textHandler handler) override;
    bool open(const kelString& uri) override;
    void close() override;
    bool active() const override;
    void sendText(const kelString& text) override;
    kelString errorText() const override;

    // The components behind the link (null for the other role), for
    // diagnostics.
    TkelIPTransmitter* transmitter() const noexcept { return f_tx.get(); }
    TkelIPReceiver* receiver() const noexcept { return f_rx.get(); }

private:
    kelOwned<TkelIPTransmitter> f_tx;
    kelOwned<TkelIPReceiver> f_rx;
    kelIPStreamer* f_component = nullptr;
    mutable std::mutex f_guard;
    textHandler f_handler;
    kelString f_error;
};
