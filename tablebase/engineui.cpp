#include "tablebase/engineui.h"

#include <cstdio>

#include "platform/codepage.h"

namespace {

void WriteLine(const std::string& utf8) {
  std::string out = utf8 + "\n";
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

class StderrWaitWindow : public EngineWaitWindow {
 public:
  void ShowMsg(const std::string& text) override {
    if (!text.empty()) last_ = text;
    WriteLine(plat::Win1250ToUtf8(last_));
  }

 private:
  std::string last_;
};

class SilentProgressWindow : public EngineProgressWindow {
 public:
  void Step() override {}
};

}  // namespace

int EngineUi::MessageBox(const std::string& text, const std::string& caption, uint16_t) {
  WriteLine("[" + plat::Win1250ToUtf8(caption) + "] " + plat::Win1250ToUtf8(text));
  return 1;
}

void EngineUi::Beep() {}
void EngineUi::MessageBeep(uint16_t) { Beep(); }
void EngineUi::SetBusyCursor(bool busy) { busy_ = busy; }
bool EngineUi::BusyCursor() const { return busy_; }
void EngineUi::ProcessMessages() {}

std::unique_ptr<EngineWaitWindow> EngineUi::CreateWaitWindow() {
  return std::make_unique<StderrWaitWindow>();
}

std::unique_ptr<EngineProgressWindow> EngineUi::CreateProgressWindow(const std::string& caption) {
  WriteLine(plat::Win1250ToUtf8(caption));
  return std::make_unique<SilentProgressWindow>();
}

namespace {
EngineUi g_defaultUi;
EngineUi* g_ui = &g_defaultUi;
}  // namespace

EngineUi& Ui() { return *g_ui; }
void SetUi(EngineUi* ui) { g_ui = ui ? ui : &g_defaultUi; }
