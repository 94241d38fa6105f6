#include "audio/kelRIFile.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

uint32_t readLE32(const uint8_t* p) noexcept
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

// --- kelRIFFChunk ------------------------------------------------------------

kelRIFFChunk::kelRIFFChunk(kelRIFile* master, kelRIFFChunk* parent, int64_t maxSize, int64_t offset,
                           int depth)
    : f_offset64(offset), f_maxSize64(std::max<int64_t>(maxSize, 0)), f_master(master), f_parent(parent)
{
    if (f_master == nullptr) return;
    // The header is 12 bytes for a container, 8 for any other chunk: a
    // chunk at the end of the file may hold fewer than 12 and still be whole.
    const intptr_t want = intptr_t(std::min<int64_t>(f_maxSize64, 12));
    const intptr_t got = want > 0 ? f_master->read(f_offset64, f_header.data(), want) : 0;
    f_headerSize = got >= 8 ? got : 0;
    if (!hasHeader()) {
        f_header.fill(0);
        return;
    }
    f_isContainer = isID("RIFF") || isID("LIST");
    if (f_isContainer && f_headerSize == 12 && depth < kMaxDepth) parseSubChunks(depth + 1);
}

kelRIFFChunk::~kelRIFFChunk() = default;

void kelRIFFChunk::parseSubChunks(int depth)
{
    const int64_t limit = std::min<int64_t>(f_maxSize64, int64_t(headerSize()) + 8);
    int64_t p = 12;
    while (p + 8 <= limit) {
        std::unique_ptr<kelRIFFChunk> sub(new (std::nothrow)
                                              kelRIFFChunk(f_master, this, limit - p, f_offset64 + p, depth));
        if (!sub) {
            p += 12;
            continue;
        }
        const int64_t step = sub->hasHeader()
                                 ? std::min<int64_t>(sub->maxSize64(), int64_t(sub->headerSize()) + 8)
                                 : std::min<int64_t>(sub->maxSize64(), 8);
        try {
            f_subChunks.push_back(std::move(sub));
        } catch (...) {
            p += 12;
            continue;
        }
        p += std::max<int64_t>(step, 8);
        p += p & 1;
    }
}

bool kelRIFFChunk::isID(const char* id) const noexcept
{
    return id != nullptr && hasHeader() && std::memcmp(f_header.data(), id, 4) == 0;
}

bool kelRIFFChunk::isForm(const char* form) const noexcept
{
    return form != nullptr && f_isContainer && f_headerSize == 12 &&
           std::memcmp(f_header.data() + 8, form, 4) == 0;
}

kelRIFFChunk* kelRIFFChunk::getSubChunk(intptr_t index) const noexcept
{
    if (index < 0 || index >= getSubChunkCount()) return nullptr;
    return f_subChunks[size_t(index)].get();
}

uint32_t kelRIFFChunk::headerSize() const noexcept
{
    return hasHeader() ? readLE32(f_header.data() + 4) : 0;
}

int64_t kelRIFFChunk::dataSize64() const noexcept
{
    if (!hasHeader()) return 0;
    return std::clamp<int64_t>(f_maxSize64 - 8, 0, int64_t(headerSize()));
}

const uint8_t* kelRIFFChunk::loadDataBuf(intptr_t maxSize)
{
    releaseDataBuf();
    const int64_t available = dataSize64();
    int64_t size = 0;
    if (maxSize < 0)
        size = std::min<int64_t>(available, kDataBufLimit);
    else if (available >= maxSize)
        size = maxSize;
    if (size <= 0) return nullptr;
    try {
        f_data64KB.resize(size_t(size));
    } catch (...) {
        return nullptr;
    }
    f_data64KBSize = readBuf(0, f_data64KB.data(), intptr_t(size));
    if (f_data64KBSize <= 0) {
        releaseDataBuf();
        return nullptr;
    }
    f_data64KB.resize(size_t(f_data64KBSize));
    return f_data64KB.data();
}

void kelRIFFChunk::releaseDataBuf() noexcept
{
    f_data64KB.clear();
    f_data64KB.shrink_to_fit();
    f_data64KBSize = 0;
}

intptr_t kelRIFFChunk::readBuf(int64_t offset, void* buf, intptr_t size) const noexcept
{
    if (f_master == nullptr || buf == nullptr || size <= 0 || offset < 0) return 0;
    const int64_t available = dataSize64() - offset;
    if (available <= 0) return 0;
    return f_master->read(f_offset64 + 8 + offset, buf, intptr_t(std::min<int64_t>(available, size)));
}

// --- kelRIFile -----------------------------------------------------------------

kelRIFile::kelRIFile(const kelString& fileName, int access) : f_fileName(fileName)
{
    f_mapFile.reset(new (std::nothrow) kelMappedFile(fileName, access, true));
    if (f_mapFile && f_mapFile->isOpen()) f_dataSize64 = f_mapFile->size64();
    buildTree();
}

kelRIFile::kelRIFile(const void* image, size_t size)
{
    try {
        if (image != nullptr && size > 0)
            f_dataBuf.assign(static_cast<const uint8_t*>(image), static_cast<const uint8_t*>(image) + size);
    } catch (...) {
        f_dataBuf.clear();
    }
    f_dataSize64 = int64_t(f_dataBuf.size());
    buildTree();
}

kelRIFile::~kelRIFile()
{
    f_rootChunk.reset();
    if (f_mapFile) f_mapFile->close();
}

void kelRIFile::buildTree()
{
    if (f_dataSize64 > 11) f_rootChunk.reset(new (std::nothrow) kelRIFFChunk(this, nullptr, f_dataSize64, 0));
}

bool kelRIFile::isValid() const noexcept
{
    return f_rootChunk && f_rootChunk->isID("RIFF");
}

intptr_t kelRIFile::read(int64_t offset, void* buf, intptr_t size) noexcept
{
    if (buf == nullptr || size <= 0 || offset < 0 || offset >= f_dataSize64) return 0;
    const intptr_t n = intptr_t(std::min<int64_t>(size, f_dataSize64 - offset));
    if (!f_dataBuf.empty()) {
        std::memcpy(buf, f_dataBuf.data() + offset, size_t(n));
        return n;
    }
    return f_mapFile ? std::max<intptr_t>(f_mapFile->read(offset, buf, n), 0) : 0;
}

void* kelRIFile::getPtr(int64_t offset, intptr_t size, intptr_t& subOfs) noexcept
{
    subOfs = 0;
    if (offset < 0 || size <= 0 || offset > f_dataSize64 - size) return nullptr;
    if (!f_dataBuf.empty()) return f_dataBuf.data() + offset;
    return f_mapFile ? f_mapFile->mapView(offset, size, subOfs) : nullptr;
}

bool kelRIFile::releasePtr(void* baseAddr) noexcept
{
    if (baseAddr == nullptr) return false;
    if (!f_dataBuf.empty()) return true;
    return f_mapFile && f_mapFile->unmapView(baseAddr);
}
