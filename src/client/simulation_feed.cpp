#include "simulation_feed.h"

#include <cctype>

std::string simulationEntryName(const char* callbackName) {
  std::string name = std::string("simulate") + callbackName;
  name[8] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[8])));
  return name;
}

void OrvClient::simulateCurrentTime(OrvLong time) { currentTime(time); }

// Test harnesses use this to deliver a first id without a broker.
void OrvClient::simulateNextValidIdForTesting() { nextValidId(1); }
