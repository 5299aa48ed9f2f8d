#include "tables/tablesinit.h"

#include "tables/memo.h"
#include "tables/tzndx.h"
#include "tables/tzparser.h"
#include "tables/ucommon.h"
#include "tablebase/tzstate.h"

void TablesStartup() {
  EngineStartup();
  InstallExpressionHooks();
  InstallIndexHooks();
  InstallMemoHooks();
  DatasetUnitStartup();
}

void ResetTablesState() {
  ResetEngineState();
  TablesStartup();
}
