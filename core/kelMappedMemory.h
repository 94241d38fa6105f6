#pragma once
// kelMappedMemory: a memory mapping read and written through short-lived
// views. The mapping is backed by a file (openFile, or kelMappedFile), by a
// named shared-memory object that other processes open by the same name, or,
// unnamed and without a file, by memory of its own.
//
// `access` is a page protection value: kelPageReadOnly (2), kelPageReadWrite
// (4) or kelPageWriteCopy (8, writes through a view stay private to it).
// Views start at offsets rounded down to the page size: mapView returns the
// view's base and, in `subOfs`, where the asked-for offset lies inside it.
//
// A named object is created when missing and `canCreate` is set; the
// creator removes its name again when it closes, so names do not outlive
// the mapping that made them (processes that have it open keep it).
//
// read() and write() never fault: they go through the file with pread and
// pwrite, or check the object's current size first, so a file that another
// process shrank reads short instead of raising SIGBUS. Views handed out by
// mapView are plain memory: a caller must not touch a view past the end of a
// file that was shrunk meanwhile.
//
// Every operation takes the object's lock (kelMappedDataTimeout ms); views
// still mapped at close are unmapped then.

#include "core/kelObject.h"
#include "core/kelTypes.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr int kelPageReadOnly = 2;
inline constexpr int kelPageReadWrite = 4;
inline constexpr int kelPageWriteCopy = 8;

inline constexpr intptr_t kelMappedDataTimeout = 10000;

class kelMappedMemory : public kelObject
{
public:
    // Opens right away when `doOpen` is set (this class's own open; a
    // subclass opens in its own constructor).
    kelMappedMemory(const kelString& name = {}, int64_t size64 = 0, int access = kelPageReadWrite,
                    bool doOpen = false, bool canCreate = true);
    ~kelMappedMemory() override;

    // Whether the mapping is open afterwards with `access`; false when it
    // was open already.
    bool open(int access) noexcept;
    void close() noexcept;
    bool isOpen() noexcept;

    // Copies up to `sz` bytes from offset `offs` (limited to size64() and to
    // what the backing object still holds); the bytes copied.
    intptr_t read(int64_t offs, void* buf, intptr_t sz) noexcept;
    // Copies into the mapping (read-write access only), limited likewise.
    intptr_t write(int64_t offs, const void* buf, intptr_t sz) noexcept;

    // A view of [offset, offset + reqSize): null when that passes size64()
    // or the end of the backing object, or the mapping is closed. The data
    // starts `subOfs` bytes into the returned view.
    void* mapView(int64_t offset, intptr_t reqSize, intptr_t& subOfs) noexcept;
    // The whole mapping as one view (subOfs is 0).
    void* mapViewAll() noexcept;
    bool unmapView(void* baseAddr) noexcept;
    // The first `size` bytes as a view kept until close (header()).
    void* mapHeader(intptr_t size) noexcept;
    void* header() const noexcept { return f_header; }
    intptr_t headerSize() const noexcept { return f_headerSize; }
    // Writes the open views' changes back to the backing object.
    bool flush() noexcept;
    intptr_t openViews() noexcept;

    // Uses `fileName` as backing file from now on (the mapping is closed;
    // open it again). False when the file cannot be opened with `access`.
    bool openFile(const kelString& fileName, int access) noexcept;
    // Grows the mapping to at least `size` bytes (reopening it); whether it
    // holds that many afterwards.
    bool ensureSize(int64_t size) noexcept;

    int64_t size64() const noexcept { return f_size64.load(); }
    void setSize64(int64_t value) noexcept;
    int access() const noexcept { return f_access; }
    const kelString& name() const noexcept { return f_name; }
    // The shared-memory object name used for a named mapping without a file.
    std::string sharedName() const;
    int64_t allocGran() const noexcept { return f_allocGran; }

    kelString _classID() const override { return u"kelMappedMemory"; }

protected:
    // Called with the lock held.
    virtual bool doOpenMapping(int access) noexcept;
    virtual void doCloseMapping() noexcept;
    virtual void doSetSize(int64_t value) noexcept;

    // Backing file (owned), -1 for none.
    void setBackingFile(int fd) noexcept;
    int backingFile() const noexcept { return f_fileHandle; }
    void closeBackingFile() noexcept;

    bool f_doOpen;
    bool f_canCreate;
    kelString f_name;
    std::atomic<int64_t> f_size64;

private:
    struct View
    {
        void* base;
        size_t length;
    };
    // Bytes the backing object holds now; -1 when it cannot be told.
    int64_t currentObjectSize() const noexcept;

    int f_access;
    int f_handle = -1;      // descriptor of the mapped object while open
    int f_fileHandle = -1;  // backing file, -1 when none
    bool f_created = false; // this object made the named object
    std::string f_sharedName;
    int64_t f_allocGran;
    void* f_header = nullptr;
    intptr_t f_headerSize = 0;
    std::vector<View> f_openViews;
};
