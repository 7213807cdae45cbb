// Replay entries: a simulated event reaches the same virtual callback a live one does,
// performed as request_gateway.h performs a request.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>

#include "orv_client.h"

// A replay entry's Python name, as a template argument ("simulateTickPrice").
template <std::size_t N>
struct EntryName {
  char text[N];
  constexpr EntryName(const char (&name)[N]) { std::copy_n(name, N, text); }
};

template <EntryName Name, auto Callback, class... Unused>
struct Simulation;

// Replays the event through Callback. Trailing arguments listed in Unused are part of the
// entry's signature only and are dropped. In developer mode the entry's text is recorded
// after the callback has returned normally, so an exception leaves the previous text.
template <EntryName Name, class... P, void (OrvClient::*Callback)(P...), class... Unused>
struct Simulation<Name, Callback, Unused...> {
  static const std::string& developerText() {
    static const std::string text = std::string(Name.text) + " test 1 passed";
    return text;
  }

  template <class Client>
  static void replay(Client& client, P... args, Unused...) {
    Client::template perform<Callback>(client, std::move(args)...);
    if (client.inDeveloperMode()) client.recordDeveloperResponse(developerText());
  }
};
