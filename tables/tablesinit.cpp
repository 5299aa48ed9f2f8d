#include "tables/tablesinit.h"

#include "tables/tzndx.h"
#include "tables/tzparser.h"
#include "tablebase/tzstate.h"

void TablesStartup() {
  EngineStartup();
  InstallExpressionHooks();
  InstallIndexHooks();
}

void ResetTablesState() {
  ResetEngineState();
  TablesStartup();
}
