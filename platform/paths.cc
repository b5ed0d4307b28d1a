#include "platform/paths.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>

namespace norvane {
namespace {

std::mutex g_mutex;
std::string g_base;       // guarded by g_mutex
bool g_override = false;  // guarded by g_mutex

}  // namespace

std::string BaseFolderOf(std::string_view executable_path) {
  std::size_t last = executable_path.rfind('/');
  if (last == std::string_view::npos) return "";
  std::string_view folder = executable_path.substr(0, last);
  std::size_t above = folder.rfind('/');
  if (above == std::string_view::npos) return "";
  return std::string(folder.substr(0, above)) + "/";
}

std::string BaseFolder() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_override || !g_base.empty()) return g_base;
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  g_base = BaseFolderOf(std::string_view(buf, static_cast<std::size_t>(n)));
  return g_base;
}

void SetBaseFolder(std::string_view folder) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (folder.empty()) {
    g_override = false;
    g_base.clear();
    return;
  }
  g_override = true;
  g_base = std::string(folder);
  if (g_base.back() != '/') g_base += '/';
}

std::string SystemRoot() {
  const char* root = std::getenv("NORVANE_SYSTEM_ROOT");
  std::string text = root ? root : "";
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace norvane
