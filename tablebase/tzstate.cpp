#include "tablebase/tzstate.h"

#include "tablebase/dbf4.h"
#include "tablebase/tzutils.h"
#include "tablebase/vfiles.h"

namespace {
EngineState g_engine;
bool g_started = false;
}  // namespace

EngineState& Engine() { return g_engine; }

void EngineStartup() {
  if (g_started) return;
  g_started = true;
  FormatSettingsStartup();
  DateUnitStartup();
  VFilesInstall();
}

void EngineShutdown() {
  if (!g_started) return;
  CloseAllAreas();
  g_started = false;
}

void ResetEngineState() {
  EngineShutdown();
  g_engine = EngineState{};
  EngineStartup();
}
