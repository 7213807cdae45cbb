// The Python objects an entry was called with, offered to the override that the entry's
// call reaches, so that an argument the override would receive as a new object equal to
// one the caller passed (same exact type, same value) can be that object instead.
//
// The offer is made on the client object just before the entry calls into the native
// code and taken (cleared) by the first dispatch to Python on that client, before any
// Python code runs: between the two only native code runs, so the offer never outlives
// the entry's call, whose caller holds the objects, and no other call sees it. Each
// object is handed on only after its type and value are checked against the native
// value (python_arguments.h), so an offer that does not correspond to the operation's
// parameters costs a comparison and nothing else.
#pragma once

#include <Python.h>

#include <cstddef>

namespace bridge {

struct OfferedArguments {
  PyObject* const* objects = nullptr;  // borrowed from the entry's caller
  std::size_t count = 0;

  PyObject* operator[](std::size_t i) const { return i < count ? objects[i] : nullptr; }
};

// Makes the offer on `client` for the lifetime of the scope and withdraws whatever is
// left of it at the end, however the call ends.
template <class Client>
class OfferScope {
 public:
  OfferScope(Client& client, PyObject* const* objects, std::size_t count) : client_(client) {
    client_.offerArguments({objects, count});
  }
  ~OfferScope() { client_.offerArguments({}); }
  OfferScope(const OfferScope&) = delete;
  OfferScope& operator=(const OfferScope&) = delete;

 private:
  Client& client_;
};

}  // namespace bridge
