#pragma once
// kelMsAcmDeviceHeader: one buffer header owned by a stream device. The
// device keeps its headers in its slot table (kelMsAcmStreamDevice's
// f_headers) and frees them at close; a subclass that hands buffers to the
// platform derives its own header kind from this one (kelWaveHeader).
//
// prepare() and unprepare() ask the owner to do the platform's part, so a
// header knows nothing of the platform. Called on whichever thread handles
// the header (device thread, a writer, a completion): the owner serialises.

#include "core/kelObject.h"

#include <cstdint>

class kelMsAcmStreamDevice;

class kelMsAcmDeviceHeader : public kelObject
{
public:
    // Result of prepare/unprepare for a header without an owner
    // (the platform's "no driver").
    static constexpr uint32_t kNoOwner = 6;

    explicit kelMsAcmDeviceHeader(kelMsAcmStreamDevice* device) noexcept : f_device(device) {}

    // The owner's prepareHeader(this) / unprepareHeader(this); kNoOwner
    // without an owner.
    virtual uint32_t prepare();
    virtual uint32_t unprepare();

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
