// Replay entries: a simulated event reaches the same virtual callback a live one does.
#pragma once

#include <string>
#include <utility>

#include "operation_traits.h"
#include "orv_client.h"

// "simulate" followed by the callback's name with its first letter raised.
std::string simulationEntryName(const char* callbackName);

template <auto Callback, class... Unused>
struct Simulation;

// Replays the event through Callback. Trailing arguments listed in Unused are part of the
// entry's signature only and are dropped. In developer mode the entry's text is recorded
// after the callback has returned normally, so an exception leaves the previous text.
template <class... P, void (OrvClient::*Callback)(P...), class... Unused>
struct Simulation<Callback, Unused...> {
  static const std::string& developerText() {
    static const std::string text =
        simulationEntryName(OperationTraits<Callback>::name) + " test 1 passed";
    return text;
  }

  template <class Client>
  static void replay(Client& client, P... args, Unused...) {
    (client.*Callback)(std::move(args)...);
    if (client.inDeveloperMode()) client.recordDeveloperResponse(developerText());
  }
};
