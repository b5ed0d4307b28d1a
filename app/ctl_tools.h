// norvanectl commands for preparing a configuration by hand or from a script.
#ifndef NORVANE_APP_CTL_TOOLS_H_
#define NORVANE_APP_CTL_TOOLS_H_

#include <iosfwd>
#include <string>

#include "platform/prompt.h"

namespace norvane {

// One line on standard error, whole, whichever thread writes it (the echoed log lines, the
// prompts, the command's own lines).
void ErrLine(const std::string& text);

// Shows the engine's messages on standard error.
class ErrPrompt : public Prompt {
 public:
  void Show(const std::string& text) override { ErrLine(text); }
};

// One line of `in` (standard input by default), its line end dropped; without echo, after a
// "password: " prompt, when it is standard input on a terminal. False at end of input.
bool ReadSecretLine(std::string& secret);
bool ReadSecretLine(std::string& secret, std::istream& in);

// `norvanectl config protect-password`: reads a password from standard input (one line,
// the line end dropped) and prints the protected form that the SN attributes store.
// Exit 0, or 1 when the input is empty or longer than the 31 bytes a password may hold.
int CtlProtectPassword();

}  // namespace norvane

#endif  // NORVANE_APP_CTL_TOOLS_H_
