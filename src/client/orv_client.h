// OrvClient: the native client whose virtual operations the Python subclass implements.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "parameter_macros.h"
#include "../tick_type/tick_type.h"

// The time value of currentTime is 32 bits wide, like every other whole number here.
using OrvLong = std::int32_t;

class OrvClient {
 public:
  OrvClient() = default;

  // Field operations.
  void setRunningMode(int mode) { runningMode = mode; }
  void setDeveloper() { developerMode = true; }
  bool inDeveloperMode() const { return developerMode; }
  std::string getDeveloperResponse() const { return developerResponse; }
  void recordDeveloperResponse(std::string text) { developerResponse = std::move(text); }

  // Connection and heartbeat entries.
  void e_connect(std::string host, int port, int clientId);
  void e_disconnect();
  void req_heart_beats();

  // Replay entries that record no developer text.
  void simulateCurrentTime(OrvLong time);
  void simulateNextValidIdForTesting();

  // The virtual operations. All but the two dispatchers do nothing by default (the
  // Python bridge relies on it and skips these bodies when there is no override).
#define ORV_OVERRIDDEN(name, ...) \
  virtual void name(ORV_TYPES(__VA_ARGS__)) {}
#define ORV_DISPATCHER(name, ...) virtual void name(ORV_PARAMS(__VA_ARGS__));
#include "operations.def"

 protected:
  // The holder destroys the object as the wrapper it is, never through this base.
  ~OrvClient() = default;

 private:
  int runningMode = 1;
  bool developerMode = false;
  std::string developerResponse = "default developerResponse";
};
