#pragma once
// A non-blocking eventfd that is readable exactly while it is "raised": the
// descriptor an event exposes so poll() can wait on it beside a socket.

class kelEventFd
{
public:
    kelEventFd() noexcept;
    ~kelEventFd();
    kelEventFd(const kelEventFd&) = delete;
    kelEventFd& operator=(const kelEventFd&) = delete;

    // -1 when the descriptor could not be created.
    int fd() const noexcept { return f_fd; }
    // Makes the descriptor readable (idempotent).
    void raise() noexcept;
    // Makes it unreadable again (idempotent).
    void clear() noexcept;

private:
    int f_fd;
};
