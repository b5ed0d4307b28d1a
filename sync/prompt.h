// Where the engine's messages for the person at the controls go. The window shows them in a
// message box; in service mode, or without a window, they become activity-log lines.
#ifndef NORVANE_SYNC_PROMPT_H_
#define NORVANE_SYNC_PROMPT_H_

#include <string>

namespace norvane {

class Prompt {
 public:
  virtual ~Prompt() = default;
  virtual void Show(const std::string& text) = 0;
};

// Writes the message to the activity log.
class LogPrompt : public Prompt {
 public:
  void Show(const std::string& text) override;
};

}  // namespace norvane

#endif  // NORVANE_SYNC_PROMPT_H_
