// The Qt side of the engine's UI interface: the halting box as a real
// message box, the beep, the hourglass, pumping events, and the wait and
// progress windows of tzmsg. Engine texts arrive as Windows-1250 bytes and
// are converted here, where they meet the GUI.
#pragma once
#include "tablebase/engineui.h"

class QApplication;

class QtEngineUi : public EngineUi {
 public:
  // A QMessageBox with the icon of the MB_ICON* bits and one button "OK"
  // (object name "OK"); returns IDOK = 1. Without a QApplication it falls
  // back to the stderr default.
  int MessageBox(const std::string& text, const std::string& caption, uint16_t flags) override;
  void Beep() override;
  // Pushes one application-wide override cursor for the hourglass and pops
  // it for the arrow; repeated calls with the same state change nothing.
  void SetBusyCursor(bool busy) override;
  bool BusyCursor() const override;
  // Posted and timer events and repaints; no mouse or keyboard input.
  void ProcessMessages() override;
  std::unique_ptr<EngineWaitWindow> CreateWaitWindow() override;
  std::unique_ptr<EngineProgressWindow> CreateProgressWindow(const std::string& caption) override;

 private:
  bool busy_ = false;
};

// Installs a process-wide QtEngineUi as the engine's UI. REQUIRES: a
// QApplication exists and outlives the engine's use of the screen.
void InstallQtEngineUi();

// Loads Qt's own Polish texts (standard buttons, file dialogs) into `app`;
// the program speaks Polish whatever the user's locale. Returns false when
// the translation files are missing (then Qt's English stays).
bool LoadPolishQtTranslation(QApplication& app);
