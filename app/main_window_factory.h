// The seam between the controller and the widgets: the norvane executable asks for the main
// window in interface mode when a display is available. ui/ defines CreateMainWindow; an
// executable built without ui/ links app/no_main_window.cc instead, which has no window to
// offer, and runs with the activity log as its only output.
#ifndef NORVANE_APP_MAIN_WINDOW_FACTORY_H_
#define NORVANE_APP_MAIN_WINDOW_FACTORY_H_

#include <memory>

#include "app/main_view.h"

namespace norvane {

class CNorvaneDlg;

// The main window for `controller`, created hidden (the controller shows it), or null when
// there is none to offer. Called on the window's thread after the QApplication exists and
// before controller.Create(); the caller attaches the view to the controller and destroys it
// after the controller's loop has ended, before the controller.
std::unique_ptr<MainView> CreateMainWindow(CNorvaneDlg& controller);

}  // namespace norvane

#endif  // NORVANE_APP_MAIN_WINDOW_FACTORY_H_
