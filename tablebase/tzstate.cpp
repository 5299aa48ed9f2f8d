#include "tablebase/tzstate.h"

#include "tablebase/dbf4.h"
#include "tablebase/tzutils.h"
#include "tablebase/vfiles.h"

namespace engine_detail {
EngineState g_engine;
}

namespace {
using engine_detail::g_engine;
bool g_started = false;
}  // namespace

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
