// OrvClient as Python sees it: the class, its constructor and its 111 methods, in order.
#include <boost/python/class.hpp>
#include <boost/python/init.hpp>
#include <boost/python/object/make_holder.hpp>
#include <boost/python/object/value_holder.hpp>

#include "../client/request_gateway.h"
#include "../client/simulation_feed.h"
#include "../defences/defences.h"
#include "registration.h"
#include "subclass_check.h"
#include "../entries/entry_caller.h"

namespace {

using Client = boost::python::class_<OrvClientWrapper, boost::noncopyable>;

// Registers `Function` under `name`, as the library's function object (see entryFunction),
// with the names of its parameters after self ("a, b") for its argument errors. The
// entry gets the module's function subtype once the library has registered it (name,
// docstring and place in the class are set by then).
template <auto Function>
void defineEntry(Client& cls, const std::string& name, const char* parameterNames = "",
                 int operation = -1) {
  bridge::describeEntry(entryParameters<Function>(), name.c_str(), parameterNames, operation);
  boost::python::object entry = entryFunction<Function>();
  cls.def(name.c_str(), entry);
  bridge::adoptEntry(entry.ptr());
}

// A virtual operation exposed under its own name; the call dispatches like a native one
// (for an overridden operation, to the instance's method of the same name).
template <auto Operation>
void defineDirect(Client& cls) {
  defineEntry<&OnWrapper<Operation>::call>(
      cls, OperationTraits<Operation>::name, OperationTraits<Operation>::parameterNames,
      isOverridden<Operation> ? static_cast<int>(OperationTraits<Operation>::index) : -1);
}

// A replay entry feeding the callback `Callback`; `Unused` are trailing texts it drops,
// each named "unused".
template <auto Callback, class... Unused>
void defineSimulation(Client& cls) {
  std::string names = OperationTraits<Callback>::parameterNames;
  for (std::size_t i = 0; i < sizeof...(Unused); ++i) names += names.empty() ? "unused" : ", unused";
  defineEntry<&Simulation<Callback, Unused...>::template replay<OrvClientWrapper>>(
      cls, simulationEntryName(OperationTraits<Callback>::name), names.c_str());
}

// The snake-case request entries, in the order of the operation table.
void defineRequestEntries(Client& cls) {
#define ORV_REQUEST(name, ...)                                                  \
  defineEntry<&RequestGateway<&OrvClient::name>::forward<OrvClientWrapper>>( \
      cls, requestEntryName(#name), OperationTraits<&OrvClient::name>::parameterNames);
#define ORV_RECORDED_REQUEST(name, ...)                                                 \
  defineEntry<&RequestGateway<&OrvClient::name>::forwardOrRecord<OrvClientWrapper>>( \
      cls, requestEntryName(#name), OperationTraits<&OrvClient::name>::parameterNames);
#include "../client/operations.def"
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
bridge::EntryParameters constructorParameters{"OrvClient.__init__", "", nullptr, 0,
                                              &refusesNoArgument, &takesAnySelf};

void defineConstructor(Client& cls) {
  // Defining a name the class already has would add an overload; replace it instead.
  if (PyObject_DelAttrString(cls.ptr(), "__init__") != 0) boost::python::throw_error_already_set();
  boost::python::object constructor =
      bridge::libraryEntry(&constructInstance, &constructorParameters);
  cls.def("__init__", constructor);
  bridge::adoptEntry(constructor.ptr());
}

}  // namespace

boost::python::object registerClient() {
  Client cls("OrvClient", boost::python::init<>());
  PyTypeObject* client = reinterpret_cast<PyTypeObject*>(cls.ptr());
  defences::registered.client = client;
  defences::registered.instanceBase = client->tp_base;
  defences::registered.classMetatype = Py_TYPE(client);
  defineConstructor(cls);
  defences::registered.entryFunction = Py_TYPE(PyDict_GetItemString(client->tp_dict, "__init__"));
  defences::registered.libraryFunction = defences::registered.entryFunction->tp_base;
  defences::refuseToPickleInstances();
  defineEntry<&OnWrapper<&OrvClient::setRunningMode>::call>(cls, "setRunningMode", "mode");
  defineEntry<&OnWrapper<&OrvClient::setDeveloper>::call>(cls, "setDeveloper");
  defineDirect<&OrvClient::error>(cls);
  defineEntry<&OnWrapper<&OrvClient::req_heart_beats>::call>(cls, "req_heart_beats");
  defineDirect<&OrvClient::nextVa1idId>(cls);
  defineDirect<&OrvClient::heartBeatsEnd>(cls);
  defineDirect<&OrvClient::current>(cls);
  defineEntry<&OnWrapper<&OrvClient::getDeveloperResponse>::call>(cls, "getDeveloperResponse");
  defineEntry<&OnWrapper<&OrvClient::simulateCurrentTime>::call>(cls, "simulateCurrentTime",
                                                                 "time");
  defineSimulation<&OrvClient::tickPrice, std::string>(cls);
  defineSimulation<&OrvClient::tickSize, std::string>(cls);
  defineSimulation<&OrvClient::openOrder, std::string>(cls);
  defineSimulation<&OrvClient::orderStatus>(cls);
  defineSimulation<&OrvClient::position, std::string>(cls);
  defineSimulation<&OrvClient::positionEnd>(cls);
  defineSimulation<&OrvClient::openOrderEnd>(cls);
  defineSimulation<&OrvClient::execDetails, std::string>(cls);
  defineSimulation<&OrvClient::nextValidId>(cls);
  defineSimulation<&OrvClient::updateAccountValue>(cls);
  defineSimulation<&OrvClient::historicalData>(cls);
  defineEntry<&OnWrapper<&OrvClient::simulateNextValidIdForTesting>::call>(
      cls, "simulateNextValidIdForTesting");
  defineRequestEntries(cls);
  defineEntry<&OnWrapper<&OrvClient::e_connect>::call>(cls, "e_connect",
                                                      "host, port, client_id");
  defineDirect<&OrvClient::tickPrice>(cls);
  defineEntry<&OnWrapper<&OrvClient::e_disconnect>::call>(cls, "e_disconnect");
  defineDirect<&OrvClient::tickSize>(cls);
  defineDirect<&OrvClient::openOrder>(cls);
  defineDirect<&OrvClient::positionEnd>(cls);
  defineDirect<&OrvClient::openOrderEnd>(cls);
  defineDirect<&OrvClient::updateAccountValue>(cls);
  defineDirect<&OrvClient::orderStatus>(cls);
  defineDirect<&OrvClient::historicalData>(cls);
  defineDirect<&OrvClient::position>(cls);
  defineDirect<&OrvClient::execDetails>(cls);
  return cls;
}
