#pragma once
// The file work under the hive file: nothing here blocks on what it finds in a
// file's place (a FIFO, say), and nothing loses bytes: a file is replaced whole
// or not at all, and bytes that are put aside are flushed before anything
// replaces them.

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace settings::fileio {

bool WriteAll(int fd, const char* data, size_t size);
bool SyncDirectory(const std::string& dir);
// Creates `dir` and its missing parents, each readable by the owner only.
bool MakeDirectories(const std::string& dir);

// Replaces `path` by `bytes` so that the old or the new content is there at
// every moment, both on disk and as seen by readers. `written` receives the
// new file's status. On failure `why` says what stood in the way.
bool WriteAtomically(const std::string& dir, const std::string& path, const std::string& temp,
                     const std::string& bytes, struct stat& written, std::string& why);

enum class FileState { Read, Missing, Unreadable, NotRegular, TooLarge };

// What a file that is not a regular one is, for the trace.
const char* Kind(mode_t mode);
// Opens `path` for reading without ever blocking (a FIFO in its place would
// otherwise wait for a writer for ever). `fd` is open only for Read.
FileState OpenForReading(const std::string& path, size_t maxBytes, int& fd, struct stat& st, int& error);
// Reads the rest of `fd` and closes it.
FileState ReadAndClose(int fd, size_t maxBytes, size_t sizeHint, std::string& bytes, int& error);

// Keeps a copy of `bytes` beside `file` as file.bad-<UTC time>, unless one with
// the same bytes is kept already; returns its name (`reused` says which),
// empty on failure.
std::string KeepCopyAside(const std::string& dir, const std::string& file, const std::string& bytes, bool& reused);
// Moves `file` itself to a new aside name; returns the name, empty on failure.
std::string MoveAside(const std::string& dir, const std::string& file);

}  // namespace settings::fileio
