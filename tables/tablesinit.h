// Start-up of the tables layer: the engine's units first, then the layers
// of this one install their hooks into the engine, in dependency order.
#pragma once

// EngineStartup, then every hook this layer provides. Idempotent.
void TablesStartup();
// For tests: ResetEngineState (which empties the hook tables), then
// TablesStartup again.
void ResetTablesState();
