// The engine's process-wide state in one object: every unit keeps its
// settings and globals in a member here, so a test can put the whole engine
// back to its start-up defaults. The engine is single-threaded by contract.
#pragma once
#include <cstdint>
#include <string>

// Error scheme (tzutils).
struct ErrorState {
  uint16_t LastErrorCode = 0;
  std::string LastErrorMessage;
  uint16_t PendingCode = 0;  // code whose message has not been taken yet
  bool AutoErrorHandling = true;
  bool ErrorRaises = false;
  bool Halting = false;  // set just before the process ends
};

struct EngineState {
  ErrorState err;
};

EngineState& Engine();

// Brings every unit to its start-up state, in dependency order. Idempotent.
void EngineStartup();
// Closes what the units hold open (work areas, files) and frees their state.
void EngineShutdown();
// For tests: EngineShutdown, fresh defaults, EngineStartup.
void ResetEngineState();
