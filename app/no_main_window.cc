// The executable's main window when it is built without ui/: none. Interface mode then runs
// with the activity log as its only output.
#include "app/main_window_factory.h"

namespace norvane {

std::unique_ptr<MainView> CreateMainWindow(CNorvaneDlg&) { return nullptr; }

}  // namespace norvane
