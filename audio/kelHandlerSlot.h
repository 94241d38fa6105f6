#pragma once
// kelHandlerSlot: one event handler of a device, replaceable while the
// device runs. The device thread takes a reference to the current handler
// and calls it with no lock held, so a handler set or cleared on another
// thread never races with a call in progress: that call finishes on the old
// handler, the next one sees the new. get() copies a shared pointer (no
// allocation); set() allocates once.

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

template <class Signature> class kelHandlerSlot
{
public:
    using Handler = std::function<Signature>;

    // Any thread. An empty handler clears the slot.
    void set(Handler handler)
    {
        std::shared_ptr<const Handler> next;
        if (handler) next = std::make_shared<const Handler>(std::move(handler));
        std::lock_guard<std::mutex> guard(f_mutex);
        f_handler.swap(next);
    }
    // Any thread; null when no handler is assigned.
    std::shared_ptr<const Handler> get() const noexcept
    {
        std::lock_guard<std::mutex> guard(f_mutex);
        return f_handler;
    }
    bool assigned() const noexcept
    {
        std::lock_guard<std::mutex> guard(f_mutex);
        return f_handler != nullptr;
    }

private:
    mutable std::mutex f_mutex;
    std::shared_ptr<const Handler> f_handler;
};
