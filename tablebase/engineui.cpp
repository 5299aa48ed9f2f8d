#include "tablebase/engineui.h"

#include <cstdio>

#include "platform/codepage.h"

int EngineUi::MessageBox(const std::string& text, const std::string& caption, uint16_t) {
  std::string out = "[" + plat::Win1250ToUtf8(caption) + "] " + plat::Win1250ToUtf8(text) + "\n";
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
  return 1;
}

void EngineUi::Beep() {}
void EngineUi::SetBusyCursor(bool) {}
void EngineUi::ProcessMessages() {}

namespace {
EngineUi g_defaultUi;
EngineUi* g_ui = &g_defaultUi;
}  // namespace

EngineUi& Ui() { return *g_ui; }
void SetUi(EngineUi* ui) { g_ui = ui ? ui : &g_defaultUi; }
