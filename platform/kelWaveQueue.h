#pragma once
// The buffer queue behind every open wave handle: headers queued by the
// caller, handed to the back end in order, and returned through the
// completion callback in exactly that order, each once. One worker thread
// per handle feeds the back end and makes the callbacks; it never holds the
// queue's lock across a callback, so a callback may queue its next buffer,
// reset or close the handle. No call joins the worker from the worker.

#include "platform/kelWaveApi.h"
#include "platform/kelWaveBackend.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

struct kelWaveHandle
{
    virtual ~kelWaveHandle() = default;
};

class kelWaveQueue final : public kelWaveHandle, public std::enable_shared_from_this<kelWaveQueue>
{
public:
    kelWaveQueue(bool isIn, const WAVEFORMATEX& format, std::unique_ptr<kelWaveBackend> backend,
                 kelWaveCallback callback, uintptr_t instance);
    ~kelWaveQueue() override;

    bool isIn() const noexcept { return f_isIn; }
    void start();
    // Sends the open or close message on the caller's thread.
    void notify(uint32_t msg) noexcept;

    MMRESULT prepare(WAVEHDR* header, uint32_t size, const char* call) noexcept;
    MMRESULT unprepare(WAVEHDR* header, uint32_t size, const char* call) noexcept;
    MMRESULT add(WAVEHDR* header, uint32_t size, const char* call) noexcept;
    // Playback: pause / restart. Recording: stop / start.
    MMRESULT pause(const char* call) noexcept;
    MMRESULT restart(const char* call) noexcept;
    // Returns every queued buffer; waits until they are all delivered,
    // except on the worker thread (a callback), where it returns at once
    // and the worker delivers them after the callback.
    MMRESULT reset(const char* call) noexcept;
    MMRESULT position(MMTIME* time, uint32_t size, const char* call) noexcept;
    // WAVERR_STILLPLAYING while buffers are queued; otherwise stops the
    // worker (detaching it when called from a callback) and closes the
    // back end.
    MMRESULT close(const char* call) noexcept;

private:
    struct Entry
    {
        WAVEHDR* header;
        size_t offset = 0;
        uint64_t endFrame = 0;
        uint64_t doneAtUs = 0;
    };

    void run(std::shared_ptr<kelWaveQueue> self) noexcept;
    void stepLocked() noexcept;
    void stepOutLocked() noexcept;
    void stepInLocked() noexcept;
    void returnAllLocked() noexcept;
    bool onWorker() const noexcept { return std::this_thread::get_id() == f_workerId; }

    const bool f_isIn;
    const WAVEFORMATEX f_format;
    const uint32_t f_block;
    std::unique_ptr<kelWaveBackend> f_backend;
    const kelWaveCallback f_callback;
    const uintptr_t f_instance;

    std::mutex f_mutex;
    std::condition_variable f_wake;
    std::condition_variable f_returned;
    std::deque<Entry> f_queue;
    std::deque<WAVEHDR*> f_returning;
    bool f_delivering = false;
    bool f_closing = false;
    bool f_running; // playback not paused; recording started
    uint64_t f_takenFrames = 0;
    uint64_t f_recordedFrames = 0;
    std::thread f_worker;
    std::thread::id f_workerId;
};
