#include "platform/run_lock.h"

#include <utility>

#include "platform/paths.h"

namespace norvane {

std::string RunLock::FolderOf(std::string folder) {
  if (folder.empty()) folder = BaseFolder();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder.empty() ? "." : folder;
}

RunLock::RunLock(std::string folder)
    : folder_(FolderOf(std::move(folder))),
      path_(folder_ + "/" + kRunLockFile),
      lock_(kRunLockFile, folder_) {}

bool RunLock::TryAcquire() {
  // The same open and flock as the single-instance guard: a file another user left is still
  // lockable, a link planted in its place is not followed, and a second RunLock in this
  // process conflicts as a second process would.
  return lock_.Acquire();
}

}  // namespace norvane
