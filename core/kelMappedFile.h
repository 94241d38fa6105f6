#pragma once
// kelMappedFile: a mapping of a file, as the WAV reader uses it. The mapping
// is named after the file (the Base64 of its UTF-8 name; name() gives it)
// and may always be created.
//
// A file of fewer than 32 bytes is never mapped. Opened read-only, a missing
// or such a short file does not map and the size becomes 0; opened for
// writing, a short file (or a missing one, with its directories) first grows
// by 32 zero bytes. A writable mapping larger than its file grows the file to
// the mapping's size; a read-only one covers only what the file holds.

#include "core/kelMappedMemory.h"

class kelMappedFile : public kelMappedMemory
{
public:
    // `size` 0 maps the whole file. Opens right away when `doOpen` is set.
    kelMappedFile(const kelString& fileName, int access = kelPageReadOnly, bool doOpen = true,
                  int64_t size = 0);
    ~kelMappedFile() override;

    const kelString& fileName() const noexcept { return f_fileName; }

    kelString _classID() const override { return u"kelMappedFile"; }

protected:
    bool doOpenMapping(int access) noexcept override;
    void doCloseMapping() noexcept override;

private:
    kelString f_fileName;
};
