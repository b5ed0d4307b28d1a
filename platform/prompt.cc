#include "platform/prompt.h"

#include "platform/activity_log.h"

namespace norvane {

void LogPrompt::Show(const std::string& text) { WriteLog(text); }

}  // namespace norvane
