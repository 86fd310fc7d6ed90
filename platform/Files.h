#pragma once
// Files named by UTF-8 paths, as the system's own calls take them: on Windows
// through the wide calls, so that a name in any script opens.

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// std::fopen of a UTF-8 path.
FILE* OpenFile(const std::string& path, const char* mode);

// The names (UTF-8) of the regular files in `dir`, in no order; empty when
// the folder cannot be read.
std::vector<std::string> ListFiles(const std::string& dir);

// Writes `text` whole to a new file beside `path`, then puts it in place of
// `path` in one step, so a reader sees the old or the new text, never a part.
// Readable by other users (it must hold nothing secret). False on failure.
bool ReplaceFileText(const std::string& path, std::string_view text);

// Seconds since `path` was last written; nullopt when it cannot be told.
std::optional<long long> FileAgeSeconds(const std::string& path);

// Reads a file that holds a secret and so must be its owner's alone: a
// regular file of at most `maxBytes` that no other user may read or write.
// False with `problem` (a sentence naming the file, and what to do) when it
// cannot be read or is not private. `what` names the file in the problem,
// e.g. "configuration file".
bool ReadPrivateFile(const std::string& path, const char* what, size_t maxBytes, std::string& text,
                     std::string& problem);

// This process's id, as the system's tools show it.
long CurrentProcessId();

// The local time of `when`; false when it cannot be told.
bool LocalTime(std::time_t when, std::tm& local);

}  // namespace platform
