#pragma once
// An in-process stand-in for the IP components: transmitters and receivers
// made by one hub and opened on the same URI are joined. Texts a
// transmitter sends are delivered to the open receivers of its URI on the
// hub's own delivery thread, as a network receiver would raise them.

#include "apps/quillnet/quillnetLink.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

class fakeHub;

class fakeLink final : public quillnetLink
{
public:
    fakeLink(fakeHub& hub, bool transmitter) : f_hub(hub), f_transmitter(transmitter) {}
    ~fakeLink() override;

    void setTextHandler(textHandler handler) override { f_handler = std::move(handler); }
    bool open(const kelString& uri) override;
    void close() override;
    bool active() const override { return f_active.load(); }
    void sendText(const kelString& text) override;
    kelString errorText() const override { return f_error; }

    // Test controls and records; window thread.
    bool failOpen = false;
    int opens = 0;
    kelString openedURI;
    std::vector<kelString> sent;

private:
    friend class fakeHub;
    fakeHub& f_hub;
    const bool f_transmitter;
    std::atomic<bool> f_active{false};
    kelString f_uri;
    kelString f_error;
    textHandler f_handler;
};

class fakeHub
{
public:
    fakeHub();
    ~fakeHub();
    fakeHub(const fakeHub&) = delete;
    fakeHub& operator=(const fakeHub&) = delete;

    std::unique_ptr<fakeLink> make(bool transmitter)
    {
        return std::make_unique<fakeLink>(*this, transmitter);
    }
    // Delivers `text` to the receivers open on `uri`, later, on the hub's
    // thread. Any thread.
    void post(const kelString& uri, const kelString& text);
    // Links destroyed while still open: the window must close them first.
    int destroyedOpen() const { return f_destroyedOpen.load(); }
    // True once every text posted so far has been delivered.
    bool idle();
    // Waits up to `timeoutMs` for idle(); any thread but the hub's.
    bool waitIdle(int timeoutMs);

private:
    friend class fakeLink;
    void attach(fakeLink* receiver);
    void detach(fakeLink* receiver);
    void run();

    std::mutex f_mutex; // guards the queue and the receivers; held while a handler runs
    std::condition_variable f_wake;
    std::condition_variable f_idle;
    std::deque<std::pair<kelString, kelString>> f_queue;
    std::vector<fakeLink*> f_receivers;
    bool f_delivering = false;
    bool f_stop = false;
    std::atomic<int> f_destroyedOpen{0};
    std::thread f_thread;
};
