// norvane: the program administrators run, in interface mode or as the service NORVANE_SVC.
//   norvane -install     install the service (norvane -uninstall removes it)
//   norvane -Testing     interface mode, whatever the configuration says
//   norvane              the configured start type
#include <csignal>

#include "app/norvane_app.h"

int main(int argc, char** argv) {
  // A directory that dropped an idle connection (Active Directory does after 15 minutes)
  // must cost a failed write that reopens it, not the process: libldap's unbind writes to
  // the closed socket. Set before any thread starts, so every thread inherits it.
  std::signal(SIGPIPE, SIG_IGN);
  norvane::CNorvaneApp app(argc, argv);
  app.InitInstance();
  return app.ExitInstance();
}
