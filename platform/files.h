// File helpers. Every file the program rewrites goes through WriteFileAtomically.
#ifndef NORVANE_PLATFORM_FILES_H_
#define NORVANE_PLATFORM_FILES_H_

#include <string>
#include <string_view>

namespace norvane {

bool FileExists(const std::string& path);  // a regular file (or a link to one)
bool ReadFile(const std::string& path, std::string* content);

// Writes `data` to a temporary file in the same folder, flushes it to disk, and renames it
// over `path`, keeping the old file's permissions. On any failure the temporary file is
// removed, `path` is left as it was, and false is returned.
bool WriteFileAtomically(const std::string& path, std::string_view data);

}  // namespace norvane

#endif  // NORVANE_PLATFORM_FILES_H_
