#pragma once
// The objects a driver's format enumeration leaves behind: the format tags
// it lists (kelMsAcmFormatTag) and the formats of each tag (kelMsAcmFormat;
// kelMsAcmFilter for filters). Each is a copy of what the compression
// manager reported, owned by the driver's lists and freed with them.
// Read-only after construction; any thread may read them while the driver
// keeps them.

#include "core/kelObject.h"
#include "platform/kelAcmRecords.h"

#include <cstddef>
#include <cstdint>
#include <memory>

class kelMsAcmDriver;

class kelMsAcmObjectTag : public kelObject
{
public:
    explicit kelMsAcmObjectTag(kelMsAcmDriver* driver) noexcept : f_driver(driver) {}
    kelMsAcmDriver* driver() const noexcept { return f_driver; }
    kelString _classID() const override { return u"kelMsAcmObjectTag"; }

protected:
    kelMsAcmDriver* f_driver; // the owner, not owned
};

class kelMsAcmFormatTag : public kelMsAcmObjectTag
{
public:
    kelMsAcmFormatTag(kelMsAcmDriver* driver, const ACMFORMATTAGDETAILSA& tag) noexcept;
    const ACMFORMATTAGDETAILSA& tag() const noexcept { return f_tag; }
    uint32_t formatTag() const noexcept { return f_tag.dwFormatTag; }
    kelString _classID() const override { return u"kelMsAcmFormatTag"; }

private:
    ACMFORMATTAGDETAILSA f_tag;
};

// What an enumerated object is.
enum kelAcmDetailsType : int32_t {
    kelAcmDetailsNone = 0,
    kelAcmDetailsFilter = 1,
    kelAcmDetailsFormat = 2,
};

// An object's details: its kind, then the manager's record of that kind.
struct kelAcmDetails
{
    kelAcmDetailsType r_type = kelAcmDetailsNone;
    ACMFORMATDETAILSA r_format{};
};

class kelMsAcmObject : public kelObject
{
public:
    kelMsAcmObject(kelMsAcmDriver* driver, kelMsAcmObjectTag* tag, kelAcmDetailsType type) noexcept;
    kelMsAcmDriver* driver() const noexcept { return f_driver; }
    kelMsAcmObjectTag* tag() const noexcept { return f_tag; }
    const kelAcmDetails& details() const noexcept { return f_details; }
    kelString _classID() const override { return u"kelMsAcmObject"; }

protected:
    // Releases what the object owns beside its details; runs before
    // destruction (kelFree).
    virtual void releaseOwned() noexcept {}
    void beforeDestruction() override { releaseOwned(); }

    kelMsAcmDriver* f_driver; // not owned
    kelAcmDetails f_details;
    kelMsAcmObjectTag* f_tag; // not owned
};

class kelMsAcmFilter : public kelMsAcmObject
{
public:
    kelMsAcmFilter(kelMsAcmDriver* driver, kelMsAcmObjectTag* tag) noexcept
        : kelMsAcmObject(driver, tag, kelAcmDetailsFilter)
    {}
    kelString _classID() const override { return u"kelMsAcmFilter"; }
};

class kelMsAcmFormat : public kelMsAcmObject
{
public:
    // Copies the reported details and gives them a format record of their
    // own: max(cbwfx, 18) bytes (at most `recordLimit`, the bytes the
    // reporter had room for), zero-filled, the reported bytes copied in,
    // cbSize = size - 18. Check valid() for a failed allocation.
    kelMsAcmFormat(kelMsAcmDriver* driver, kelMsAcmObjectTag* tag, const ACMFORMATDETAILSA& details,
                   size_t recordLimit) noexcept;
    ~kelMsAcmFormat() override;

    bool valid() const noexcept { return f_record != nullptr; }
    // The owned record (null once released) and its size.
    const WAVEFORMATEX* format() const noexcept { return f_details.r_format.pwfx; }
    size_t formatSize() const noexcept { return f_details.r_format.cbwfx; }
    uint32_t formatTag() const noexcept { return f_details.r_format.dwFormatTag; }
    const char* name() const noexcept { return f_details.r_format.szFormat; }
    kelString _classID() const override { return u"kelMsAcmFormat"; }

protected:
    // Frees the record; the details' pointer and size become 0.
    void releaseOwned() noexcept override;

private:
    std::unique_ptr<uint8_t[]> f_record;
};
