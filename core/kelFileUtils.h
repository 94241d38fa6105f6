#pragma once
// Small file and path routines that report errors as negative codes or
// neutral results and never raise. Handles are file descriptors. Paths are
// UTF-16 and reach the file system as UTF-8; the separator is "/". Any thread
// may call them; a handle must not be used by two threads at once.

#include "core/kelTypes.h"

#include <cstddef>
#include <cstdint>

using kelFileHandle = int;
// An open that failed.
inline constexpr kelFileHandle kelInvalidFile = -1;
// No handle was asked for (createFileAt without keepOpen).
inline constexpr kelFileHandle kelNoFile = -2;

// Positioning origins.
inline constexpr int kelSeekBegin = 0;
inline constexpr int kelSeekCurrent = 1;
inline constexpr int kelSeekEnd = 2;

// Results of appendToFile, writeFileAt and readFileAt.
inline constexpr int kelFileOk = 0;
inline constexpr int kelFileNoName = -1;
inline constexpr int kelFileCannotOpen = -2;
inline constexpr int kelFileIoFailed = -3;
inline constexpr int kelFileShort = -4;

// True when the name exists (any kind of entry).
bool fileExistsAt(const kelString& name);
bool isDirectory(const kelString& name);

// Opens for reading and writing, creating the file when missing (truncating
// it when `truncate`). With `keepOpen` returns the handle, otherwise closes it
// and returns kelNoFile; kelInvalidFile on failure. `flags` are extra open(2)
// flags (O_APPEND, O_SYNC, ...; an access mode in them is ignored);
// descriptors are always close-on-exec.
kelFileHandle createFileAt(const kelString& name, bool truncate = false, bool keepOpen = true, int flags = 0);
// Opens an existing file for reading (and writing); kelInvalidFile on
// failure. Sharing is the file system's: other openers are never locked out,
// so `shareWrite` only documents the caller's intent.
kelFileHandle openFileAt(const kelString& name, bool write = false, bool shareWrite = true, int flags = 0);
// Closes unless the handle is kelNoFile or kelInvalidFile.
void closeFileHandle(kelFileHandle handle);

// Opens (creating when missing), positions by `offset` from `origin`, writes
// `size` bytes and closes. kelFileOk, kelFileNoName (empty name),
// kelFileCannotOpen, kelFileIoFailed or kelFileShort. Offset 0 from kelSeekEnd
// appends.
int appendToFile(const kelString& name, const void* data, size_t size, int64_t offset = 0,
                 int origin = kelSeekEnd);
// The same codes on an open handle (kelFileCannotOpen for an invalid one);
// writing 0 bytes returns kelFileOk at once.
int writeFileAt(kelFileHandle handle, const void* data, size_t size, int64_t offset = 0,
                int origin = kelSeekCurrent);
// Reads up to `size` bytes; `size` becomes the count read. kelFileOk,
// kelFileCannotOpen (invalid handle), kelFileIoFailed (size 0) or kelFileShort.
// Repositions only when not asked to read at the current position.
int readFileAt(kelFileHandle handle, void* buffer, size_t& size, int64_t offset = 0,
               int origin = kelSeekCurrent);

// Size in bytes, -1 on failure.
int64_t fileSizeOf(kelFileHandle handle);
int64_t fileSizeOf(const kelString& name);
// Positions and sets the end of the file there.
bool truncateFileAt(kelFileHandle handle, int64_t offset = 0, int origin = kelSeekCurrent);
// The new position; -1 for an invalid handle or a failed seek.
int64_t seekFile(kelFileHandle handle, int64_t offset, int origin = kelSeekBegin);
bool deleteFileAt(const kelString& name);

// Creates every missing directory of `path` (a trailing "/" is ignored). True
// when the directory exists afterwards; false for an empty path, when a part
// exists as a file or when creation fails.
bool createDirectories(const kelString& path);

// The name up to and including its last "/"; empty when there is none.
kelString filePathPart(const kelString& name);
// The part after the last "/".
kelString fileNamePart(const kelString& name);
// Ignores trailing spaces; keeps a path that ends in "/", else appends "/".
kelString withTrailingBackslash(const kelString& path);
// `path` with the extension of its file-name part replaced by `ext` (appended
// when the name has none; a leading dot does not start an extension). An
// empty `ext` only removes the extension. Directories in the path are never
// touched: "/home/u/.local/bin/prog" becomes "/home/u/.local/bin/prog.ini".
kelString pathWithExt(const kelString& path, const kelString& ext);
// The executable's full path through pathWithExt.
kelString moduleNameWithExt(const kelString& ext = {});

// Folder identifiers of specialFolder.
inline constexpr int kelFolderHome = 0x0005;      // the user's home
inline constexpr int kelFolderAppData = 0x001A;   // $XDG_CONFIG_HOME or ~/.config
inline constexpr int kelFolderLocalData = 0x001C; // $XDG_DATA_HOME or ~/.local/share
inline constexpr int kelFolderCache = 0x0020;     // $XDG_CACHE_HOME or ~/.cache
// The folder with a trailing "/", empty for an unknown id or no home.
kelString specialFolder(int id);
// The per-user application settings folder, with a trailing "/".
kelString appDataFolder();
// The host name.
kelString computerName();
