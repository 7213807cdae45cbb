// OrvClient as Python sees it: the class, its constructor and its methods, in the
// order of client_methods.def (defined by the units of register_entries.cpp).
#include <boost/python/class.hpp>
#include <boost/python/init.hpp>
#include <utility>

#include "../defences/defences.h"
#include "../internals/library_objects.h"
#include "../internals/type_slots.h"
#include "define_entry.h"
#include "entry_units.h"
#include "registration.h"
#include "subclass_check.h"

namespace module_init {

namespace {

// The constructor. The library's own builds the native object inside whatever its first
// argument is (`OrvClient.__init__(anything)`), so this one first checks that it is an
// instance of the class, then does what the library's does, then checks a subclass's
// methods the first time that subclass is instantiated.
void constructInstance(PyObject* self) {
  PyTypeObject* clientClass = common::registered.client;
  if (!PyObject_TypeCheck(self, clientClass)) {
    PyErr_Format(PyExc_TypeError, "OrvClient.__init__() needs an OrvClient instance, not '%.200s'",
                 internals::typeName(Py_TYPE(self)));
    boost::python::throw_error_already_set();
  }
  internals::constructHeldObject<OrvClientWrapper>(self);
  if (Py_TYPE(self) != clientClass) checkSubclass(Py_TYPE(self));
}

// The constructor's argument errors, in the entries' words: it takes nothing after
// self, and takes any object as self (constructInstance refuses a non-instance itself).
bool takesAnySelf(PyObject*) { return true; }
int refusesNoArgument(PyObject* const*) { return -1; }
entries::EntryParameters constructorParameters{"OrvClient.__init__", nullptr, nullptr, 0,
                                              &refusesNoArgument, &takesAnySelf};

void defineConstructor(ClientClass& cls) {
  // Defining a name the class already has would add an overload; replace it instead.
  if (PyObject_DelAttrString(cls.ptr(), "__init__") != 0) boost::python::throw_error_already_set();
  boost::python::object constructor =
      entries::libraryEntry(&constructInstance, &constructorParameters);
  cls.def("__init__", constructor);
  entries::adoptEntry(constructor.ptr());
}

// The methods, in the order of client_methods.def: each unit's run in turn.
template <int... Unit>
void defineMethods(ClientClass& cls, std::integer_sequence<int, Unit...>) {
  (defineEntries<Unit>(cls), ...);
}

}  // namespace

boost::python::object registerClient() {
  ClientClass cls("OrvClient", boost::python::init<>());
  PyTypeObject* client = reinterpret_cast<PyTypeObject*>(cls.ptr());
  common::registered.client = client;
  common::registered.instanceBase = internals::typeBase(client);
  common::registered.classMetatype = Py_TYPE(client);
  defineConstructor(cls);
  common::registered.entryFunction =
      Py_TYPE(PyDict_GetItemString(internals::typeDictionary(client), "__init__"));
  common::registered.libraryFunction = internals::typeBase(common::registered.entryFunction);
  defences::refuseToPickleInstances();
  defineMethods(cls, std::make_integer_sequence<int, entryUnitCount>{});
  return cls;
}

}  // namespace module_init

