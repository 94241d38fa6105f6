#include "core/kelMappedFile.h"

#include "core/kelBase64.h"
#include "core/kelFileUtils.h"
#include "core/kelTextUtils.h"
#include "core/kelUtf.h"

#include <algorithm>

namespace {

// The smallest file that is mapped.
constexpr int64_t kMinFileSize = 32;

kelString mappingNameOf(const kelString& fileName)
{
    try {
        const std::string b64 = encodeBase64(utf16ToUtf8(fileName));
        return kelString(b64.begin(), b64.end());
    } catch (...) {
        return {};
    }
}

} // namespace

kelMappedFile::kelMappedFile(const kelString& fileName, int access, bool doOpen, int64_t size)
    : kelMappedMemory(mappingNameOf(fileName), size, access, false, true), f_fileName(fileName)
{
    f_doOpen = doOpen;
    if (doOpen) (void)open(access);
}

kelMappedFile::~kelMappedFile()
{
    kelLock lock(this, false, kelMappedDataTimeout);
    kelMappedFile::doCloseMapping();
}

bool kelMappedFile::doOpenMapping(int access) noexcept
{
    if (trimText(f_fileName).empty()) {
        kelMappedMemory::doCloseMapping();
        return kelMappedMemory::doOpenMapping(access);
    }
    const bool readOnly = access == kelPageReadOnly;
    int64_t size = f_size64.load();
    if (!fileExistsAt(f_fileName) && readOnly) {
        size = 0;
    } else if (size < kMinFileSize) {
        size = std::max<int64_t>(fileSizeOf(f_fileName), 0);
        if (size < kMinFileSize && !readOnly) {
            static const char zeros[kMinFileSize] = {};
            createDirectories(filePathPart(f_fileName));
            if (appendToFile(f_fileName, zeros, sizeof zeros) == kelFileOk)
                size = std::max<int64_t>(fileSizeOf(f_fileName), 0);
        }
    }
    if (size < kMinFileSize) {
        f_size64 = 0;
        return false;
    }
    const kelFileHandle file =
        readOnly ? openFileAt(f_fileName, false) : createFileAt(f_fileName, false, true, 0);
    if (file == kelInvalidFile) {
        f_size64 = 0;
        return false;
    }
    setBackingFile(file);
    f_size64 = size;
    if (kelMappedMemory::doOpenMapping(access)) {
        // A read-only mapping covers only what the file holds, which may be
        // less than was asked for.
        if (f_size64 >= kMinFileSize) return true;
        kelMappedMemory::doCloseMapping();
    }
    closeBackingFile();
    f_size64 = 0;
    return false;
}

void kelMappedFile::doCloseMapping() noexcept
{
    kelMappedMemory::doCloseMapping();
    closeBackingFile();
}
