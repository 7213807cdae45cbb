// repr() of TickType members. The library's enumeration base writes
// "module.Class.NAME" after reading the class's `__module__`, and throws a C++ exception
// out of its slot when that read fails (a subclass whose `__module__` is a property that
// raises, a direct instance of the base): the process ends. The same text, with the
// read's error raised instead, for TickType and its subclasses, and where the library is
// the module's private copy for its base too (slot and `__repr__` each).
#include "../../internals/library_calls.h"
#include "../../internals/library_internals.h"
#include "../../internals/type_slots.h"
#include "../defences.h"

namespace {

reprfunc libraryRepresentation = nullptr;

PyObject* representMember(PyObject* member) {
  return internals::callLibrarySlot<PyObject*>(nullptr, libraryRepresentation, member);
}

PyObject* representMethod(PyObject* member, PyObject*) { return representMember(member); }

PyMethodDef representationDef = {"__repr__", representMethod, METH_NOARGS,
                                 "Return repr(self)."};

void install(PyTypeObject* type) {
  internals::setTypeRepresentation(type, &representMember);
  internals::installMethod(type, &representationDef);
}

}  // namespace

void defences::guardRepresentation() {
  PyTypeObject* base = common::registered.enumerationBase;
  if (!libraryRepresentation) libraryRepresentation = internals::typeRepresentation(base);
  if (libraryRepresentation == &representMember) return;  // already in place
  // A class made later takes its slot from the `__repr__` it finds along its bases, and
  // the library's (a wrapper of the library's slot function) would give it that very
  // function: TickType has a `__repr__` of its own.
  install(common::registered.tickType);
  if constexpr (internals::libraryIsPrivate) install(base);
}
