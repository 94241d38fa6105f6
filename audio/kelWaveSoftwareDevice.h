#pragma once
// kelWaveSoftwareDevice: the base of devices without hardware (the WAV file
// stream, the mixer, the resampler). It runs kelWaveDevice's loop, but no
// platform handle: open stores the handle 1, headers are only marked
// prepared, and the pace comes from the device itself.
//
//  - Real time: a kelMMTimer ticks once per chunk of the master format
//    (at the exact chunk rate, so 49 chunks a second stay 49). Each tick
//    counts one cycle and wakes the device thread; the thread does one
//    chunk of work per counted tick, so a late thread catches up instead of
//    losing ticks. The thread runs at time-critical priority.
//  - Otherwise: every loop cycle is work. After a cycle that had no
//    header, a non-zero nonrealTimeDelay makes the thread wait that long
//    for input data when less than a chunk is queued; a delay of 0 starts
//    the next cycle at once.
//
// Subclasses do their work in headerDone: they call this class's
// headerDone first, work only when it grants the cycle, and end the cycle
// with cycleDone().
//
// Time: the timer takes its clock from the device (setClock), so a test
// that gives the device a kelManualClock paces it by advancing that clock.

#include "audio/kelWaveDevice.h"

#include <atomic>
#include <cstdint>

class kelMMTimer;

class kelWaveSoftwareDevice : public kelWaveDevice
{
public:
    // Device id -1, not mapped, not direct. `isIn`: the device produces
    // (output stream only); otherwise it consumes (input stream only).
    kelWaveSoftwareDevice(bool realTime, bool isIn, uintptr_t overNum);
    ~kelWaveSoftwareDevice() override;

    // The pacing timer; null when not in real-time mode.
    kelMMTimer* realTimer() const noexcept { return f_realTimer; }
    // Ticks counted and not yet worked off.
    intptr_t realTimerCount() const noexcept { return f_realTimerCount.load(); }
    uintptr_t nonrealTimeDelay() const noexcept { return f_nonrealTimeDelay.load(); }
    void setNonrealTimeDelay(uintptr_t value) noexcept { f_nonrealTimeDelay.store(value); }

    // The real-time setter: makes or frees the timer and sets the thread's
    // priority (15 in real time, 1 otherwise). Device closed.
    void setRealTime(bool value) override;
    // Hands the clock to the pacing timer too (device closed).
    void setClock(const kelClock& clock) noexcept override;

    kelString _classID() const override { return u"kelWaveSoftwareDevice"; }

protected:
    // Retimes the timer when the master format changes.
    bool doSetFormat(bool isSrc, const WAVEFORMATEX* format, size_t formatSize) override;
    // The common open, then the handle 1.
    uint32_t doOpenHandle(uint32_t flags) override;
    uint32_t doCloseHandle() override;
    // Zeroes the tick count and starts the timer.
    uint32_t afterOpen() override;
    // Stops the timer.
    void afterClose(uint32_t closeResult) override;
    // Headers are only marked.
    uint32_t prepareHeader(kelMsAcmDeviceHeader* header) override;
    uint32_t unprepareHeader(kelMsAcmDeviceHeader* header) override;
    uint32_t addHeader(kelWaveHeader* header) override;
    bool doGetMasterIsSrc() override { return true; }
    // Whether this cycle is granted: always outside real time; in real
    // time only for a counted tick (which it takes). Device thread.
    bool headerDone(kelWaveHeader* header, bool reAdd) override;
    // One timer tick: counts it and wakes the device thread. Timer thread.
    virtual void onRealTimer();
    // The end of a granted cycle: the non-real-time wait (see the top).
    void cycleDone(kelWaveHeader* header);

    // Starts the timer when the device is in real time (afterOpen does it;
    // subclasses that open without the thread may call it).
    void startRealTimer() noexcept;
    void stopRealTimer() noexcept;

    std::atomic<intptr_t> f_realTimerCount{0};
    kelMMTimer* f_realTimer = nullptr; // owned
    std::atomic<uintptr_t> f_nonrealTimeDelay{0};

private:
    void retimeRealTimer() noexcept;
    void freeRealTimer() noexcept;
};
