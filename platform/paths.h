// The base folder: the parent of the folder that holds the running executable, with a
// trailing "/". LdapConfig.xml, logs/norvanelog.log and the organisation documents live
// there. Installed: /opt/norvane/bin/norvane gives /opt/norvane/; a build tree's
// build/bin/norvane gives build/.
#ifndef NORVANE_PLATFORM_PATHS_H_
#define NORVANE_PLATFORM_PATHS_H_

#include <string>
#include <string_view>

namespace norvane {

// Computed once from /proc/self/exe and cached; empty (and tried again on the next call)
// when the path has too few folders, so that files are then found relative to the current
// directory. Thread-safe.
std::string BaseFolder();

// Makes `folder` the base folder for the rest of the process (command-line --base, tests).
// A trailing "/" is added when missing; an empty text returns to the executable's folder.
void SetBaseFolder(std::string_view folder);

// The root of the system files the program touches (the service's unit, systemd's run
// folder, the lock folder): NORVANE_SYSTEM_ROOT without a trailing "/" when set (an image
// being built, a test), else "" (the real system).
std::string SystemRoot();

// The base folder derived from an executable path ("/a/b/prog" gives "/a/").
std::string BaseFolderOf(std::string_view executable_path);

}  // namespace norvane

#endif  // NORVANE_PLATFORM_PATHS_H_
