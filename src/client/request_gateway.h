// Request entries: each forwards its arguments, unchanged and in order, to the virtual
// request operation it is named after. `Client` is the class of the objects the entries
// reach; Client::perform<Operation>(client, args...) performs the operation as its
// virtual call would (OrvClientWrapper's reaches the Python override without the call).
#pragma once

#include <string>
#include <utility>

#include "operation_traits.h"
#include "orv_client.h"

template <auto Operation>
struct RequestGateway;

template <class... P, void (OrvClient::*Operation)(P...)>
struct RequestGateway<Operation> {
  template <class Client>
  static void forward(Client& client, P... args) {
    Client::template perform<Operation>(client, std::move(args)...);
  }

  // Developer mode answers for the request with a fixed text instead of sending it.
  template <class Client>
  static void forwardOrRecord(Client& client, P... args) {
    if (client.inDeveloperMode()) {
      client.recordDeveloperResponse(developerText());
      return;
    }
    Client::template perform<Operation>(client, std::move(args)...);
  }

  static const std::string& developerText() {
    static const std::string text = std::string(OperationTraits<Operation>::name) + " test 1 passed";
    return text;
  }
};
