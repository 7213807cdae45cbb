// OrvClientWrapper: the native object every Python OrvClient instance holds. Each
// overridden operation reaches the Python method of the same name when the instance has
// one. Otherwise OrvClient's own body would run, and that body is empty for every
// overridden operation (orv_client.h), so nothing more is done: the values are not moved
// into a call that does nothing with them.
#pragma once

#include <boost/python/wrapper.hpp>

#include "../client/operation_traits.h"
#include "../client/orv_client.h"
#include "../shutdown/parked_objects.h"
#include "../internals/library_internals.h"
#include "../call_state/offered_arguments.h"
#include "../call_state/text_buffers.h"
#include "override_call.h"

#include <utility>

static_assert(call_state::TextBuffers::kept == mostTextParameters,
              "a thread keeps as many text buffers as the operation with the most texts takes");

// Final: the library's holder destroys it as what it is, and nothing derives from it.
class OrvClientWrapper final : public OrvClient, public boost::python::wrapper<OrvClient> {
 public:
  // Native objects alive are counted for the release at exit of what a program stored on
  // the registered objects (shutdown/): it waits for the last one.
  OrvClientWrapper() { shutdown::clientInstanceStarted(); }
  ~OrvClientWrapper() { shutdown::clientInstanceEnded(); }
  OrvClientWrapper(const OrvClientWrapper&) = delete;
  OrvClientWrapper& operator=(const OrvClientWrapper&) = delete;

  // What the virtual call of `Operation` does on this final class, without the call: an
  // operation the class overrides goes to the Python override, reading the values where
  // they are (no move into the overrider's parameters); any other member is called.
  // Texts passed as rvalues leave their storage for the next call (call_state/text_buffers.h).
  template <auto Operation, class... A>
  [[gnu::always_inline]] static decltype(auto) perform(OrvClientWrapper& client, A&&... args) {
    if constexpr (isOverridden<Operation>) {
      overrides::dispatchToPython<Operation>(client.owner(), call_state::takeOffer(),
                                          std::index_sequence_for<A...>{}, args...);
      (keepStorage(std::forward<A>(args)), ...);
    } else {
      return (client.*Operation)(std::forward<A>(args)...);
    }
  }

#define ORV_OVERRIDDEN(name, ...)                                               \
  void name(ORV_PARAMS(__VA_ARGS__)) override {                                 \
    perform<&OrvClient::name>(*this __VA_OPT__(, ) ORV_ARGS(__VA_ARGS__));      \
  }
#include "../client/operations.def"

 private:
  // The storage of a text handed over as an rvalue (a by-value parameter of the entry
  // that is dead once the operation returns), kept for the next call's texts.
  static void keepStorage(std::string&& text) { call_state::TextBuffers::keep(std::move(text)); }
  template <class T>
  static void keepStorage(T&&) {}

  // The Python instance this object lives in; set by the library during __init__.
  PyObject* owner() const { return internals::wrapperOwner(*this); }
};
