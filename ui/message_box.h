// Message boxes of the windows, and the prompt that lets the engine's own messages reach
// the person at the controls as message boxes.
#ifndef NORVANE_UI_MESSAGE_BOX_H_
#define NORVANE_UI_MESSAGE_BOX_H_

#include <QString>
#include <string>

#include "platform/prompt.h"

class QWidget;

namespace norvane {

enum class BoxIcon { kNone, kInformation, kWarning, kError, kQuestion };

// The caption of the program's own message boxes and main window.
inline constexpr const char* kProgramCaption = "LDAP同步工具";

// A modal box with one "确定" button. Main-window thread only.
void ShowMessageBox(QWidget* parent, const QString& caption, const QString& text,
                    BoxIcon icon = BoxIcon::kNone);

// Shows each message in a modal box captioned kProgramCaption. Show may be called from any
// thread: from another thread it waits until the box on the main-window thread is closed,
// so the caller must not hold anything that thread waits for.
class MessageBoxPrompt : public Prompt {
 public:
  explicit MessageBoxPrompt(QWidget* parent = nullptr) : parent_(parent) {}
  void Show(const std::string& text) override;

 private:
  QWidget* parent_;
};

// Makes the icons and other resources of the windows available. Idempotent.
void InitUiResources();

}  // namespace norvane

#endif  // NORVANE_UI_MESSAGE_BOX_H_
