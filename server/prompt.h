// Where the server bridge's messages for the person at the controls go: a message box in the
// window, standard error for norvanectl, an activity-log line everywhere else.
//
// A window that also serves the sync engine implements both this and the engine's prompt
// with one Show: the override satisfies both interfaces.
#ifndef NORVANE_SERVER_PROMPT_H_
#define NORVANE_SERVER_PROMPT_H_

#include <string>

namespace norvane {

class MessagePrompt {
 public:
  virtual ~MessagePrompt() = default;
  // May block (a modal box); callers never hold a lock that a login check waits for.
  virtual void Show(const std::string& text) = 0;
};

// Writes the message to the activity log.
class LogMessagePrompt : public MessagePrompt {
 public:
  void Show(const std::string& text) override;
};

}  // namespace norvane

#endif  // NORVANE_SERVER_PROMPT_H_
