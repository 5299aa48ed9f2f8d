// The engine's only way to the screen. The engine never includes a window
// toolkit header; tablebase_ui installs the Qt implementation, and until one
// is installed the default writes to stderr and never waits for a person.
// All texts are engine byte text (Windows-1250).
#pragma once
#include <cstdint>
#include <string>

class EngineUi {
 public:
  virtual ~EngineUi() = default;
  // A system message box with a Windows MB_* flag word; returns the
  // Windows button result (IDOK = 1 when there is nobody to ask).
  virtual int MessageBox(const std::string& text, const std::string& caption, uint16_t flags);
  virtual void Beep();
  // Hourglass (true) or the normal arrow (false).
  virtual void SetBusyCursor(bool busy);
  // Handles pending window events without waiting for user input.
  virtual void ProcessMessages();
};

// The installed implementation (never null).
EngineUi& Ui();
// Installs `ui` (not owned; null restores the stderr default).
void SetUi(EngineUi* ui);

// MessageBox flag values the engine uses.
constexpr uint16_t MB_OK = 0x0000;
constexpr uint16_t MB_ICONHAND = 0x0010;
