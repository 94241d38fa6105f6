#pragma once
// The private-profile (ini file) calls the settings store is written
// against, over files of the format kelProfileDocument describes.
//
// The profile calls of the system the store was designed for are atomic per
// call; ours are too, across threads and processes: every write reads,
// edits and rewrites the file under an exclusive flock() on it, and every
// read takes a shared one. A rewrite goes to a temporary file in the same
// directory that is renamed over the old one, so a crash never leaves half
// a file; where that is impossible (read-only directory, a file owned by
// someone else or hard-linked) the file is rewritten in place under the
// lock. A writer that got its lock on a file renamed away meanwhile opens
// the new one and tries again, so no update is lost.
//
// File names are UTF-8 paths. Any thread may call these; they block for at
// most about `lockTimeout` ms waiting for another writer.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How long a call waits for another thread or process that holds the file.
inline constexpr int32_t kelProfileLockTimeout = 2000;
// Files beyond this size are not settings: reads give the default, writes
// refuse to touch them.
inline constexpr size_t kelProfileMaxFileSize = 16u * 1024u * 1024u;

// The value of `key` in `section`, or `defValue` when the file, the section
// or the key is missing, the file cannot be read or stays locked. The result
// is cut to `size` - 1 code units, as a caller's buffer of `size` would hold
// it (0 gives an empty string).
std::u16string kelGetPrivateProfileString(const std::u16string& section, const std::u16string& key,
                                          const std::u16string& defValue, size_t size,
                                          const std::string& fileName,
                                          int32_t lockTimeout = kelProfileLockTimeout);

// Every "key=value" line of the section, in file order; empty when missing.
std::vector<std::u16string> kelGetPrivateProfileSection(const std::u16string& section,
                                                        const std::string& fileName,
                                                        int32_t lockTimeout = kelProfileLockTimeout);

// Sets key=value, creating the file (UTF-16LE with BOM), the section and the
// key as needed. True once the file holds the value. False when a name or
// the value cannot be stored in the format (CR, LF, NUL; see
// kelProfileDocument::validKey), when the file stays locked or cannot be
// read or written; the file is then unchanged.
bool kelWritePrivateProfileString(const std::u16string& section, const std::u16string& key,
                                  const std::u16string& value, const std::string& fileName,
                                  int32_t lockTimeout = kelProfileLockTimeout);

// Replaces the whole body of the section by `lines` (see
// kelProfileDocument::replaceSection), creating file and section as needed.
bool kelWritePrivateProfileSection(const std::u16string& section, const std::vector<std::u16string>& lines,
                                   const std::string& fileName, int32_t lockTimeout = kelProfileLockTimeout);

// Creates the file holding only the UTF-16LE byte-order mark (FF FE) when it
// does not exist; an existing file is never touched. True when the file
// exists afterwards.
bool kelCreatePrivateProfile(const std::string& fileName);
