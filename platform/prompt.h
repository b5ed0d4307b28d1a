// Where messages meant for the person at the controls go: a message box in the window,
// standard error for norvanectl, an activity-log line in service mode or without a display.
#ifndef NORVANE_PLATFORM_PROMPT_H_
#define NORVANE_PLATFORM_PROMPT_H_

#include <string>

namespace norvane {

class Prompt {
 public:
  virtual ~Prompt() = default;
  // May block (a modal box): callers never hold a lock that a login check waits for.
  virtual void Show(const std::string& text) = 0;
};

// Writes the message to the activity log.
class LogPrompt : public Prompt {
 public:
  void Show(const std::string& text) override;
};

}  // namespace norvane

#endif  // NORVANE_PLATFORM_PROMPT_H_
