// What every call of an OrvClient method runs: EntryCaller (a registered function
// without a result) or the library's own caller, checked (one with a result), inside the
// function object entryFunction makes. Every registered function takes the held type,
// OrvClientWrapper&, as self, which SelfArgument finds without the library's search of
// the class graph.
#pragma once

#include <boost/python/default_call_policies.hpp>
#include <boost/python/detail/caller.hpp>
#include <boost/python/errors.hpp>
#include <boost/python/signature.hpp>
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "argument_errors.h"
#include "argument_conversion.h"
#include "entry_function.h"
#include "../call_state/held_arguments.h"
#include "../internals/library_calls.h"
#include "../internals/library_objects.h"
#include "../overrides/orv_client_wrapper.h"

namespace entries {

// A member function of OrvClient as a function of the wrapper.
template <auto Method>
struct OnWrapper;

template <class R, class... P, R (OrvClient::*Method)(P...)>
struct OnWrapper<Method> {
  using Result = R;
  using Parameters = std::tuple<P...>;  // what the method's table row is held against
  static R call(OrvClientWrapper& self, P... args) {
    return OrvClientWrapper::perform<Method>(self, std::move(args)...);
  }
};

template <class R, class... P, R (OrvClient::*Method)(P...) const>
struct OnWrapper<Method> {
  using Result = R;
  using Parameters = std::tuple<P...>;  // what the method's table row is held against
  static R call(OrvClientWrapper& self, P... args) {
    return OrvClientWrapper::perform<Method>(self, std::move(args)...);
  }
};

// The number of parameters after self of a registered function.
template <auto Function>
struct FunctionArity;
template <class R, class... P, R (*Function)(OrvClientWrapper&, P...)>
struct FunctionArity<Function> {
  static constexpr std::size_t value = sizeof...(P);
};
template <auto Function>
inline constexpr std::size_t entryArity = FunctionArity<Function>::value;

// Whether `self` is an OrvClient instance with its native object, and whether `object`
// converts to T: the tests behind argument errors, one function each.
[[gnu::cold, gnu::noinline]] inline bool hasNativeObject(PyObject* self) {
  return SelfArgument::find(self) != nullptr;
}
template <class T>
[[gnu::cold, gnu::noinline]] bool accepts(PyObject* object) {
  return EntryArgument<T>().accept(object);
}

// The library's call of a registered function without a result, doing the same steps
// with less work per call. A call whose arguments are all exact objects takes their
// values in place (Conversion<T>::exact, argument_conversion.h). Otherwise, like the library's caller, it
// first checks that every argument converts (returning null without an error when one
// does not, so that the library reports its argument error), then converts them, from
// the last to the first as the library's caller does, and calls the function with the
// values moved in. The signature, and with it the docstring and the argument error's
// listing, is the library's own for the function; the error's first line, and the text
// of a whole number out of range or of a str that UTF-8 cannot encode, name the
// argument (argument_errors.h), written only once the call has failed: a failed
// conversion is explained where it failed, by its position.
//
// quickCall is the same call as the interpreter's vectorcall entry of the function
// object: with exactly the function's arguments and no keywords it runs the steps above
// on its own references to the caller's arguments (call_state/held_arguments.h), translating C++
// exceptions as the library's call does (but letting the unwind of a thread that the
// interpreter ends pass on); any other call, and the argument error, are left to the
// library's call.
template <auto Function>
struct EntryCaller;

template <class... P, void (*Function)(OrvClientWrapper&, P...)>
struct EntryCaller<Function> {
  using LibraryCaller = internals::LibraryCaller<void (*)(OrvClientWrapper&, P...)>;

  // The library's call, arguments in a tuple. Where the interpreter has vectorcall only
  // what quickCall leaves to the library comes here, so it takes the general path
  // rather than a second inlined copy of the call.
  PyObject* operator()(PyObject* args, PyObject*) const {
    PyObject* const* items = PySequence_Fast_ITEMS(args);
    if constexpr (internals::interpreterHasVectorcall)
      return callGenerally(items, std::index_sequence_for<P...>{});
    else
      return call(items, std::index_sequence_for<P...>{});
  }

  unsigned min_arity() const { return LibraryCaller::min_arity(); }
  internals::LibrarySignatureInfo signature() const { return LibraryCaller::signature(); }

  // Which argument of a call with 1 + sizeof...(P) arguments is refused (see
  // EntryParameters); tried only after a refusal, so kept small and out of the way of
  // the calls that succeed.
  template <std::size_t... I>
  [[gnu::cold]] static int firstRefused(PyObject* const* args, std::index_sequence<I...>) {
    if (!hasNativeObject(args[0])) return 0;
    int refused = -1;
    (void)((accepts<P>(args[I + 1]) || (refused = I + 1, false)) && ...);
    return refused;
  }
  [[gnu::cold]] static int firstRefused(PyObject* const* args) {
    return firstRefused(args, std::index_sequence_for<P...>{});
  }

  // What argument errors name: set when the entry is registered (each function is
  // registered once), with the parameters' types and the test of which is refused.
  static inline const ParameterKind kinds[sizeof...(P) + 1] = {
      parameterKind<std::decay_t<P>>()...};
  static inline EntryParameters parameters{
      "", nullptr, kinds, static_cast<int>(sizeof...(P)), &firstRefused, &hasNativeObject};

  static PyObject* quickCall(PyObject* entry, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) {
    constexpr Py_ssize_t arity = 1 + sizeof...(P);
    if (PyVectorcall_NARGS(nargsf) != arity || (kwnames && PyTuple_GET_SIZE(kwnames) > 0))
      return callThroughLibrary(entry, args, nargsf, kwnames);
    // The interpreter guards its calls into a type's call slot against runaway recursion.
    internals::RecursionGuard guard;
    if (!guard.enter(" while calling a Python object")) return nullptr;
    call_state::HeldArguments<arity> held(args);  // from here on, `args` is not read again
    PyObject* result = internals::translatingExceptions<PyObject*>(
        nullptr, [&] { return call(held.get(), std::index_sequence_for<P...>{}); },
        [] { call_state::holdEntryArguments(); }, [&] { held.abandon(); });
    guard.leave();
    if (result) return result;
    call_state::holdEntryArguments();
    if (PyErr_Occurred()) {
      explainFailedCall(parameters, held.get()[0]);
      return nullptr;
    }
    return refuseThroughLibrary(entry, held.get(), arity);
  }

 private:
  // Compiled with everything it calls inlined (but the general path and the copy of a
  // long text, which are kept out of line): one function per entry, from the arguments
  // to the override's call, which the compiler's own limits for this large unit would
  // otherwise break up.
  template <std::size_t... I>
  [[gnu::flatten]] static PyObject* call(PyObject* const* args, std::index_sequence<I...> order) {
    OrvClientWrapper* self = SelfArgument::find(args[0]);
    if (!self) return nullptr;
    if ((Conversion<std::decay_t<P>>::exact(args[I + 1]) && ...)) {
      call_state::OfferScope offer(args + 1, sizeof...(P));
      Function(*self, Conversion<std::decay_t<P>>::template value<true>(args[I + 1])...);
      Py_RETURN_NONE;
    }
    return convertAndCall(*self, args, order);
  }

  template <std::size_t... I>
  [[gnu::cold]] static PyObject* callGenerally(PyObject* const* args,
                                               std::index_sequence<I...> order) {
    OrvClientWrapper* self = SelfArgument::find(args[0]);
    if (!self) return nullptr;
    return convertAndCall(*self, args, order);
  }

  // The library's two stages, for calls with an argument that is not exact. Cold
  // (compiled for size, the call to the function left out of line): the calls that
  // matter pass exact objects, and this is a third of an entry's code otherwise.
  template <std::size_t... I>
  [[gnu::noinline, gnu::cold]] static PyObject* convertAndCall(OrvClientWrapper& self,
                                                               PyObject* const* args,
                                                               std::index_sequence<I...>) {
    constexpr std::size_t n = sizeof...(P);
    call_state::holdEntryArguments();  // a conversion may run Python code
    std::tuple<EntryArgument<P>...> arguments;
    if (!(std::get<I>(arguments).accept(args[I + 1]) && ...)) return nullptr;
    int position = 0;  // of the argument being converted, from 1
    bool converted = internals::translatingExceptions(false, [&] {
      ((position = static_cast<int>(n - I), std::get<n - 1 - I>(arguments).convert()), ...);
      return true;
    });
    if (!converted) {
      explainConversion(parameters, position, args[position]);
      return nullptr;
    }
    call_state::OfferScope offer(args + 1, n);
    Function(self, std::get<I>(arguments).take()...);
    Py_RETURN_NONE;
  }
};

// The library's call of a registered function with a result, once no argument is an
// object that the library's instance search would misread (LibraryInstances):
// such an object makes the call match nothing, and the library reports its argument
// error.
template <auto Function>
struct CheckedLibraryCaller {
  using LibraryCaller = internals::LibraryCaller<decltype(Function)>;

  PyObject* operator()(PyObject* args, PyObject* keywords) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i)
      if (LibraryInstances::misshapen(PyTuple_GET_ITEM(args, i))) return nullptr;
    return caller(args, keywords);
  }

  unsigned min_arity() const { return LibraryCaller::min_arity(); }
  internals::LibrarySignatureInfo signature() const { return LibraryCaller::signature(); }

  LibraryCaller caller{Function, boost::python::default_call_policies()};
};

// Whether a registered function returns nothing (and so is called through EntryCaller).
template <auto Function>
constexpr bool returnsNothing = std::is_void_v<
    typename boost::mpl::front<internals::LibrarySignature<decltype(Function)>>::type>;

// Whether the registered function's object has a quick call: a function without a
// result, where the interpreter has vectorcall.
template <auto Function>
constexpr bool hasQuickCall = internals::interpreterHasVectorcall && returnsNothing<Function>;

// The argument errors' description of a function with a result: only self to check.
template <auto Function>
struct ResultEntry {
  static int selfRefused(PyObject* const* args) {
    return hasNativeObject(args[0]) ? -1 : 0;
  }
  static inline EntryParameters parameters{"", nullptr, nullptr, 0, &selfRefused,
                                                   &hasNativeObject};
};

// What the registered function's argument errors name.
template <auto Function>
EntryParameters& entryParameters() {
  if constexpr (returnsNothing<Function>)
    return EntryCaller<Function>::parameters;
  else
    return ResultEntry<Function>::parameters;
}

// The Python function object for a registered function: the library's own function
// type with room for the quick call and the argument errors' description, carrying
// EntryCaller for functions without a result (with its quick call where the interpreter
// has vectorcall) and the library's caller, checked, otherwise.
template <auto Function>
boost::python::object entryFunction() {
  EntryFunction* entry;
  if constexpr (!returnsNothing<Function>) {
    entry = new EntryFunction(internals::ErasedCaller(CheckedLibraryCaller<Function>{}), nullptr,
                              &entryParameters<Function>());
  } else {
    vectorcallfunc quickCall = nullptr;
    if constexpr (hasQuickCall<Function>) quickCall = &EntryCaller<Function>::quickCall;
    entry = new EntryFunction(internals::ErasedCaller(EntryCaller<Function>{}), quickCall,
                              &entryParameters<Function>());
  }
  return boost::python::object(boost::python::handle<>(static_cast<PyObject*>(entry)));
}

}  // namespace entries
