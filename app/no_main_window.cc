// The executable's main window when it is built without ui/: none. Interface mode then runs
// with the activity log as its only output.
#include <cstdio>

#include "app/main_window_factory.h"

namespace norvane {

std::unique_ptr<MainView> CreateMainWindow(CNorvaneDlg&) { return nullptr; }

void ShowStartupMessage(const std::string& text, const std::string&) {
  std::fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace norvane
