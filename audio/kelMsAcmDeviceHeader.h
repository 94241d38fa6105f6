#pragma once
// kelMsAcmDeviceHeader: one buffer header owned by a stream device. The
// device keeps its headers in its slot table (kelMsAcmStreamDevice's
// f_headers) and frees them at close; a subclass that hands buffers to the
// platform derives its own header kind from this one (kelWaveHeader).
//
// prepare() and unprepare() ask the owner to do the platform's part, so a
// header knows nothing of the platform. Called on whichever thread handles
// the header (device thread, a writer, a completion): the owner serialises.
//
// The status operations read and write the flags of a header kind that keeps
// a conversion-stream status word (kelMsAcmCodecHeader); this base has none,
// so it reads every flag as clear.

#include "core/kelObject.h"

#include <cstdint>

class kelMsAcmStreamDevice;

class kelMsAcmDeviceHeader : public kelObject
{
public:
    // Result of prepare/unprepare for a header without an owner
    // (the platform's "no driver").
    static constexpr uint32_t kNoOwner = 6;

    // Status flags of a conversion-stream header.
    static constexpr uint32_t kStatusDone = 0x10000;
    static constexpr uint32_t kStatusPrepared = 0x20000;
    static constexpr uint32_t kStatusInQueue = 0x100000;

    explicit kelMsAcmDeviceHeader(kelMsAcmStreamDevice* device) noexcept : f_device(device) {}

    // The family's operations, in slot order.
    // Whether `flag` is set in the header's status word (none here).
    virtual bool statusFlag(uint32_t flag) const noexcept;
    virtual void setStatusFlag(uint32_t flag, bool value) noexcept;
    // The owner's prepareHeader(this) / unprepareHeader(this); kNoOwner
    // without an owner.
    virtual uint32_t prepare();
    virtual uint32_t unprepare();
    // Forgets the byte counts of the last conversion (nothing here).
    virtual void resetUsed() noexcept {}
    // Done, prepared and not queued.
    virtual bool isComplete() const noexcept;
    // Prepared and queued.
    virtual bool isBusy() const noexcept;

    bool isDone() const noexcept { return statusFlag(kStatusDone); }
    void setIsDone(bool value) noexcept { setStatusFlag(kStatusDone, value); }
    bool isPrepared() const noexcept { return statusFlag(kStatusPrepared); }
    void setIsPrepared(bool value) noexcept { setStatusFlag(kStatusPrepared, value); }
    bool inQueue() const noexcept { return statusFlag(kStatusInQueue); }
    void setInQueue(bool value) noexcept { setStatusFlag(kStatusInQueue, value); }

    kelMsAcmStreamDevice* device() const noexcept { return f_device; }
    bool needRePrepare() const noexcept { return f_needRePrepare; }
    void setNeedRePrepare(bool value) noexcept { f_needRePrepare = value; }
    bool isFree() const noexcept { return f_isFree; }
    void setIsFree(bool value) noexcept { f_isFree = value; }

    kelString _classID() const override { return u"kelMsAcmDeviceHeader"; }

protected:
    kelMsAcmStreamDevice* f_device; // not owned
    bool f_needRePrepare = true;
    bool f_isFree = true;
};
