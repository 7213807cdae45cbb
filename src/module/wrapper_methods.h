// Binding helpers: every registered function takes the held type, OrvClientWrapper&, as
// self. Converting self to the held type takes the library's direct path; converting to
// the OrvClient base would search the class graph on every call.
#pragma once

#include <string>
#include <utility>

#include "../bridge/orv_client_wrapper.h"

// A member function of OrvClient as a function of the wrapper.
template <auto Method>
struct OnWrapper;

template <class R, class... P, R (OrvClient::*Method)(P...)>
struct OnWrapper<Method> {
  static R call(OrvClientWrapper& self, P... args) { return (self.*Method)(std::move(args)...); }
};

template <class R, class... P, R (OrvClient::*Method)(P...) const>
struct OnWrapper<Method> {
  static R call(OrvClientWrapper& self, P... args) { return (self.*Method)(std::move(args)...); }
};
