#include "app/startup.h"

#include "platform/text.h"

namespace norvane {

std::string JoinArguments(int argc, const char* const* argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  return line;
}

StartDecision ChooseStart(std::string_view command_line,
                          const std::function<int()>& read_start_type,
                          const std::function<bool()>& is_service_installed) {
  bool run_as_service = true;
  std::size_t pos = command_line.find_first_of("-/");
  if (pos == std::string_view::npos) {
    int start_type = read_start_type ? read_start_type() : 0;
    if (start_type == 1) run_as_service = true;
    if (start_type == 0) run_as_service = false;
  }
  while (pos != std::string_view::npos) {
    std::string_view rest = command_line.substr(pos + 1);
    if (EqualsNoCase(rest, "UnRegserver") || EqualsNoCase(rest, "uninstall")) {
      return StartDecision::kRemove;
    }
    if (EqualsNoCase(rest, "regserver") || EqualsNoCase(rest, "install")) {
      return StartDecision::kInstall;
    }
    if (EqualsNoCase(rest, "Testing")) run_as_service = false;
    pos = command_line.find_first_of("-/", pos + 1);
  }
  if (!run_as_service) return StartDecision::kInterfaceMode;
  if (is_service_installed && is_service_installed()) return StartDecision::kServiceMode;
  return StartDecision::kNothing;
}

}  // namespace norvane
