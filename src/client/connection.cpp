// Connection, heartbeat and time entries, and the two operations whose own bodies
// dispatch further.
#include "orv_client.h"

void OrvClient::e_connect(std::string host, int port, int clientId) {
  if (developerMode) {
    recordDeveloperResponse("connect test 1 passed " + std::to_string(port) + " " +
                            std::to_string(clientId));
    return;
  }
  connect(std::move(host), port, clientId);
}

void OrvClient::e_disconnect() { disconnect(); }

// The heartbeat asks for exactly one id; the answer comes back through nextVa1idId.
void OrvClient::req_heart_beats() { reqIds(1); }

void OrvClient::nextVa1idId(int id) {
  nextValidId(id);
  heartBeatsEnd();
}

void OrvClient::current(int time) { currentTime(time); }
