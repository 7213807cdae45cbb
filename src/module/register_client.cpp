// OrvClient as Python sees it: the class, its constructor and its 111 methods, in the
// order of client_methods.def.
#include <boost/python/class.hpp>
#include <boost/python/init.hpp>
#include <boost/python/object/make_holder.hpp>
#include <boost/python/object/value_holder.hpp>
#include <cstddef>
#include <tuple>
#include <type_traits>

#include "../client/simulation_feed.h"
#include "../defences/defences.h"
#include "registration.h"
#include "subclass_check.h"
#include "../entries/entry_caller.h"
#include "define_entry.h"

namespace {

// Two name lists one after the other.
template <std::size_t N, std::size_t M>
constexpr ParameterNameList<N + M> joined(const ParameterNameList<N>& first,
                                          const ParameterNameList<M>& second) {
  ParameterNameList<N + M> names{};
  for (std::size_t i = 0; i < N; ++i) names[i] = first[i];
  for (std::size_t i = 0; i < M; ++i) names[N + i] = second[i];
  return names;
}

// A member function of OrvClient under its own name.
template <auto Member, class Result, class RowTypes, std::size_t N>
void defineMember(ClientClass& cls, const char* name, const ParameterNameList<N>& parameterNames) {
  static_assert(std::is_same_v<typename OnWrapper<Member>::Parameters, RowTypes> &&
                    std::is_same_v<typename OnWrapper<Member>::Result, Result>,
                "client_methods.def gives the member's result and parameter types");
  defineEntry<&OnWrapper<Member>::call>(cls, name, parameterNames);
}

// A virtual operation exposed under its own name; the call dispatches like a native one
// (for an overridden operation, to the instance's method of the same name).
template <auto Operation>
void defineOperation(ClientClass& cls) {
  defineEntry<&OnWrapper<Operation>::call>(
      cls, OperationTraits<Operation>::name, OperationTraits<Operation>::parameterNames,
      isOverridden<Operation> ? static_cast<int>(OperationTraits<Operation>::index) : -1);
}

// A replay entry feeding the callback `Callback`; `Unused` are trailing parameters it
// drops, named by `unusedNames`.
template <EntryName Name, auto Callback, class... Unused, std::size_t N>
void defineSimulation(ClientClass& cls, const ParameterNameList<N>& unusedNames) {
  defineEntry<&Simulation<Name, Callback, Unused...>::template replay<OrvClientWrapper>>(
      cls, Name.text, joined(OperationTraits<Callback>::parameterNames, unusedNames));
}

// The methods, in the order of client_methods.def.
void defineMethods(ClientClass& cls) {
#define ORV_MEMBER(name, result, ...)                                              \
  defineMember<&OrvClient::name, result, std::tuple<ORV_TYPES(__VA_ARGS__)>>(       \
      cls, #name, ParameterNameList<ORV_COUNT(__VA_ARGS__)>{ORV_NAME_TEXTS(__VA_ARGS__)});
#define ORV_REPLAY_MEMBER(name, callback, ...)                                        \
  static_assert(std::is_same_v<OnWrapper<&OrvClient::callback>::Parameters,         \
                               std::tuple<ORV_TYPES(__VA_ARGS__)>>,                   \
                "a replay takes its callback's parameters");                         \
  ORV_MEMBER(name, void __VA_OPT__(, ) __VA_ARGS__)
#define ORV_OPERATION_ENTRY(operation) defineOperation<&OrvClient::operation>(cls);
#define ORV_SIMULATION(entry, callback, ...)                                           \
  defineSimulation<#entry, &OrvClient::callback __VA_OPT__(, ) ORV_TYPES(__VA_ARGS__)>( \
      cls, ParameterNameList<ORV_COUNT(__VA_ARGS__)>{ORV_NAME_TEXTS(__VA_ARGS__)});
#define ORV_REQUEST_ENTRIES defineRequestEntries(cls);
#include "client_methods.def"
}

// The constructor. The library's own builds the native object inside whatever its first
// argument is (`OrvClient.__init__(anything)`), so this one first checks that it is an
// instance of the class, then does what the library's does, then checks a subclass's
// methods the first time that subclass is instantiated.
void constructInstance(PyObject* self) {
  PyTypeObject* clientClass = defences::registered.client;
  if (!PyObject_TypeCheck(self, clientClass)) {
    PyErr_Format(PyExc_TypeError, "OrvClient.__init__() needs an OrvClient instance, not '%.200s'",
                 Py_TYPE(self)->tp_name);
    boost::python::throw_error_already_set();
  }
  boost::python::objects::make_holder<0>::apply<
      boost::python::objects::value_holder<OrvClientWrapper>,
      boost::mpl::vector0<>>::execute(self);
  if (Py_TYPE(self) != clientClass) checkSubclass(Py_TYPE(self));
}

// The constructor's argument errors, in the entries' words: it takes nothing after
// self, and takes any object as self (constructInstance refuses a non-instance itself).
bool takesAnySelf(PyObject*) { return true; }
int refusesNoArgument(PyObject* const*) { return -1; }
bridge::EntryParameters constructorParameters{"OrvClient.__init__", nullptr, nullptr, 0,
                                              &refusesNoArgument, &takesAnySelf};

void defineConstructor(ClientClass& cls) {
  // Defining a name the class already has would add an overload; replace it instead.
  if (PyObject_DelAttrString(cls.ptr(), "__init__") != 0) boost::python::throw_error_already_set();
  boost::python::object constructor =
      bridge::libraryEntry(&constructInstance, &constructorParameters);
  cls.def("__init__", constructor);
  bridge::adoptEntry(constructor.ptr());
}

}  // namespace

boost::python::object registerClient() {
  ClientClass cls("OrvClient", boost::python::init<>());
  PyTypeObject* client = reinterpret_cast<PyTypeObject*>(cls.ptr());
  defences::registered.client = client;
  defences::registered.instanceBase = client->tp_base;
  defences::registered.classMetatype = Py_TYPE(client);
  defineConstructor(cls);
  defences::registered.entryFunction = Py_TYPE(PyDict_GetItemString(client->tp_dict, "__init__"));
  defences::registered.libraryFunction = defences::registered.entryFunction->tp_base;
  defences::refuseToPickleInstances();
  defineMethods(cls);
  return cls;
}
