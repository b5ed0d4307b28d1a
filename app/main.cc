// norvane: the program administrators run, in interface mode or as the service NORVANE_SVC.
//   norvane -install     install the service (norvane -uninstall removes it)
//   norvane -Testing     interface mode, whatever the configuration says
//   norvane              the configured start type
#include "app/norvane_app.h"

int main(int argc, char** argv) {
  norvane::CNorvaneApp app(argc, argv);
  app.InitInstance();
  return app.ExitInstance();
}
