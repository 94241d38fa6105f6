#pragma once
// kelFileStream: a file read and written through the stream interface. The
// file is opened when it exists and created when it does not. Reads take
// bytes from the current position; a looping stream goes back to the start
// when it reaches the end, so a short file repeats as often as a read
// needs. Positions are 64-bit throughout.
//
// Flags are the platform's: `access` is an open(2) access mode (O_RDONLY,
// O_WRONLY, O_RDWR), `fileFlags` further open(2) flags (O_APPEND, O_SYNC,
// ...). `shareMode` is kept for callers that pass one: the file system here
// never locks other openers out. Every operation takes the stream's lock.

#include "core/kelAbstractStream.h"
#include "core/kelFileUtils.h"

#include <fcntl.h>

#include <cstdint>

class kelFileStream : public kelAbstractStream
{
public:
    explicit kelFileStream(intptr_t lockTimeout = 1000);
    // Opens `fileName` right away when it is not empty (lock timeout 1000).
    kelFileStream(const kelString& fileName, int access = O_RDWR, int shareMode = 0, bool loop = false,
                  int fileFlags = 0);
    ~kelFileStream() override;

    // Closes any open file, then opens (or creates) `fileName` and takes its
    // size. Whether the file is open; false too when the lock could not be
    // had.
    bool initStream(const kelString& fileName, int access = O_RDWR, int shareMode = 0, bool loop = false,
                    int fileFlags = 0) noexcept;
    void close() noexcept;

    // From the start, or back from the end when `fromBeggining` is false.
    // The new position, which also becomes fileOffset(); unchanged when the
    // seek fails or the lock cannot be had.
    intptr_t seek(intptr_t position, bool fromBeggining = true) noexcept override;
    // Moves by `delta` from the current position, not below 0.
    intptr_t seekD(intptr_t delta) noexcept override;
    intptr_t getPosition() noexcept override;

    const kelString& fileName() const noexcept { return f_fileName; }
    bool loop() const noexcept { return f_loop; }
    void setLoop(bool value) noexcept { f_loop = value; }
    // Bytes consumed by removing reads (and the position set by seek).
    uint64_t fileOffset() const noexcept { return f_fileOffset; }
    int access() const noexcept { return f_access; }
    int shareMode() const noexcept { return f_shareMode; }
    int fileFlags() const noexcept { return f_fileFlags; }

    kelString _classID() const override { return u"kelFileStream"; }

protected:
    void doClear() noexcept override;
    intptr_t doWriteData(const void* buf, intptr_t size) noexcept override;
    intptr_t doReadData(void* buf, intptr_t size, bool remove) noexcept override;
    intptr_t doGetSize() noexcept override;
    intptr_t doGetAvailableSize() noexcept override;

private:
    void closeLocked() noexcept;

    std::atomic<kelFileHandle> f_handle{kelInvalidFile};
    kelString f_fileName;
    uint64_t f_fileOffset = 0;
    int f_access = O_RDWR;
    int f_shareMode = 0;
    std::atomic<bool> f_loop{false};
    int f_fileFlags = 0;
};
