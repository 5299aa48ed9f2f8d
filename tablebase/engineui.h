// The engine's only way to the screen. The engine never includes a window
// toolkit header; tablebase_ui installs the Qt implementation, and until one
// is installed the default writes to stderr and never waits for a person.
// All texts are engine byte text (Windows-1250).
#pragma once
#include <cstdint>
#include <memory>
#include <string>

// A small window that shows one line of text while long work runs on the
// window thread (the engine's wait window). It stays until destroyed.
class EngineWaitWindow {
 public:
  virtual ~EngineWaitWindow() = default;
  // Shows `text`, or the text shown before when `text` is empty, and returns
  // once it is painted.
  virtual void ShowMsg(const std::string& text) = 0;
};

// A captioned window whose bar of 100 "|" shortens by one per step and is
// refilled after it ran out (the engine's progress window, as the index
// build shows it). It stays until destroyed.
class EngineProgressWindow {
 public:
  virtual ~EngineProgressWindow() = default;
  virtual void Step() = 0;
};

class EngineUi {
 public:
  virtual ~EngineUi() = default;
  // A system message box with a Windows MB_* flag word; returns the
  // Windows button result (IDOK = 1 when there is nobody to ask).
  virtual int MessageBox(const std::string& text, const std::string& caption, uint16_t flags);
  virtual void Beep();
  // The system sound that goes with a message icon (one of the MB_ICON*
  // values below, or MB_BEEP_SIMPLE). The default is a plain Beep().
  virtual void MessageBeep(uint16_t sound);
  // Hourglass (true) or the normal arrow (false) over every window.
  virtual void SetBusyCursor(bool busy);
  // True while the hourglass is set.
  virtual bool BusyCursor() const;
  // Handles pending window events without waiting for user input.
  virtual void ProcessMessages();
  // The wait window; the default writes each shown text to stderr.
  virtual std::unique_ptr<EngineWaitWindow> CreateWaitWindow();
  // The progress window, already showing its full bar under `caption`; the
  // default writes the caption to stderr once and shows no steps.
  virtual std::unique_ptr<EngineProgressWindow> CreateProgressWindow(const std::string& caption);

 private:
  bool busy_ = false;
};

// The installed implementation (never null).
EngineUi& Ui();
// Installs `ui` (not owned; null restores the stderr default).
void SetUi(EngineUi* ui);

// Sets the hourglass (or the arrow) for its lifetime and puts back the
// cursor that was there before, on every way out.
class ScreenCursorScope {
 public:
  explicit ScreenCursorScope(bool busy) : prev_(Ui().BusyCursor()) { Ui().SetBusyCursor(busy); }
  ~ScreenCursorScope() { Ui().SetBusyCursor(prev_); }
  ScreenCursorScope(const ScreenCursorScope&) = delete;
  ScreenCursorScope& operator=(const ScreenCursorScope&) = delete;

 private:
  bool prev_;
};

// MessageBox flag values the engine uses, and the MessageBeep sounds.
constexpr uint16_t MB_OK = 0x0000;
constexpr uint16_t MB_ICONHAND = 0x0010;
constexpr uint16_t MB_ICONQUESTION = 0x0020;
constexpr uint16_t MB_ICONEXCLAMATION = 0x0030;
constexpr uint16_t MB_ICONASTERISK = 0x0040;
constexpr uint16_t MB_ICONMASK = 0x00F0;
constexpr uint16_t MB_BEEP_SIMPLE = 0xFFFF;
