#include "tables/tablesinit.h"

#include "tables/tzparser.h"
#include "tablebase/tzstate.h"

void TablesStartup() {
  EngineStartup();
  InstallExpressionHooks();
}

void ResetTablesState() {
  ResetEngineState();
  TablesStartup();
}
