#pragma once
// Named shared memory over POSIX shm_open, and the page size that views
// of a mapping are aligned to. The names the library gives its mappings
// may hold any character, but a POSIX name is "/" followed by at most
// NAME_MAX bytes without another "/"; kelSharedMemoryName turns the one into
// the other so that different names never meet in one object. Any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// "/kel." followed by `name` with every byte outside [A-Za-z0-9._-] written
// as "%XX" (so different names give different results), or, when that
// would not fit the system's limit, a prefix of it followed by a 64-bit hash
// and the length of the whole name.
std::string kelSharedMemoryName(std::string_view name);

// Opens the object `posixName` (as made by kelSharedMemoryName): for
// reading and writing when `write`, else read-only. When it does not exist
// and `create` is set, creates it read-write with `size` bytes and sets
// `created`. Returns the descriptor (close-on-exec) or -1 with errno set.
int kelSharedMemoryOpen(const std::string& posixName, bool write, bool create, int64_t size, bool& created);
bool kelSharedMemoryUnlink(const std::string& posixName);

// An unnamed object of `size` bytes, read-write; -1 on failure.
int kelAnonymousMemoryOpen(int64_t size);

// The granularity of view offsets: the page size.
int64_t kelPageSize() noexcept;
