#include "tests/apps/quillnet/quillnetFakeLink.h"

#include <algorithm>
#include <chrono>

fakeLink::~fakeLink()
{
    // A real component would stop here too; count it so tests can insist
    // that the window closed it first.
    if (f_active.load()) {
        f_hub.f_destroyedOpen++;
        close();
    }
}

bool fakeLink::open(const kelString& uri)
{
    ++opens;
    openedURI = uri;
    if (failOpen) {
        f_error = u"Socket error: 10048";
        return false;
    }
    f_error.clear();
    f_uri = uri;
    f_active.store(true);
    if (!f_transmitter) f_hub.attach(this);
    return true;
}

void fakeLink::close()
{
    if (!f_active.exchange(false)) return;
    if (!f_transmitter) f_hub.detach(this);
}

void fakeLink::sendText(const kelString& text)
{
    if (!f_active.load() || !f_transmitter) return;
    sent.push_back(text);
    f_hub.post(f_uri, text);
}

fakeHub::fakeHub() : f_thread([this] { run(); }) {}

fakeHub::~fakeHub()
{
    {
        std::lock_guard<std::mutex> lock(f_mutex);
        f_stop = true;
    }
    f_wake.notify_all();
    f_thread.join();
}

void fakeHub::post(const kelString& uri, const kelString& text)
{
    {
        std::lock_guard<std::mutex> lock(f_mutex);
        f_queue.emplace_back(uri, text);
    }
    f_wake.notify_all();
}

bool fakeHub::idle()
{
    std::lock_guard<std::mutex> lock(f_mutex);
    return f_queue.empty() && !f_delivering;
}

bool fakeHub::waitIdle(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(f_mutex);
    return f_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return f_queue.empty() && !f_delivering; });
}

void fakeHub::attach(fakeLink* receiver)
{
    std::lock_guard<std::mutex> lock(f_mutex);
    f_receivers.push_back(receiver);
}

void fakeHub::detach(fakeLink* receiver)
{
    // Taking the mutex waits for a handler that is running.
    std::lock_guard<std::mutex> lock(f_mutex);
    f_receivers.erase(std::remove(f_receivers.begin(), f_receivers.end(), receiver), f_receivers.end());
}

void fakeHub::run()
{
    std::unique_lock<std::mutex> lock(f_mutex);
    for (;;) {
        f_wake.wait(lock, [this] { return f_stop || !f_queue.empty(); });
        if (f_stop) return;
        f_delivering = true;
        const auto [uri, text] = std::move(f_queue.front());
        f_queue.pop_front();
        for (fakeLink* r : f_receivers) {
            if (r->f_uri != uri || !r->f_handler) continue;
            r->f_handler(text);
        }
        f_delivering = false;
        f_idle.notify_all();
    }
}
