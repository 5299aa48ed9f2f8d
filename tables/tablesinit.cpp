#include "tables/tablesinit.h"

#include "tables/memo/memo.h"
#include "tables/mdx/tzndx.h"
#include "tables/expr/tzparser.h"
#include "tables/datasets/ucommon.h"
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
