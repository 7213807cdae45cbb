#include "simulation_feed.h"

void OrvClient::simulateCurrentTime(OrvLong time) { currentTime(time); }

// Test harnesses use this to deliver a first id without a broker.
void OrvClient::simulateNextValidIdForTesting() { nextValidId(1); }
