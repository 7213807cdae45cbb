#include "override_lookup.h"

#include <boost/python/errors.hpp>

#include "../client/operation_traits.h"

namespace bridge {
namespace {

constexpr int operationCount = static_cast<int>(OperationIndex::count);

PyTypeObject* registeredClass = nullptr;
PyObject* operationNameObjects[operationCount] = {};

// Looks up an attribute without making an AttributeError when it is missing, the common
// case for requests a subclass does not implement. Any other error is left set.
int lookupAttribute(PyObject* owner, PyObject* name, PyObject** found) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyObject_GetOptionalAttr(owner, name, found);
#else
  return _PyObject_LookupAttr(owner, name, found);
#endif
}

}  // namespace

void prepareOverrideLookup(PyTypeObject* cls) {
  for (int i = 0; i < operationCount; ++i) {
    operationNameObjects[i] = PyUnicode_InternFromString(operationNames[i]);
    if (!operationNameObjects[i]) boost::python::throw_error_already_set();
  }
  Py_INCREF(cls);
  registeredClass = cls;
}

PyObject* findOverride(PyObject* owner, int operationIndex) {
  if (!owner) return nullptr;
  PyObject* name = operationNameObjects[operationIndex];
  PyObject* found = nullptr;
  if (lookupAttribute(owner, name, &found) <= 0) {
    // Missing, or the lookup itself raised: either way there is no override.
    PyErr_Clear();
    return nullptr;
  }
  // The class's own binding, bound to this instance, is the operation itself.
  if (Py_TYPE(found) == &PyMethod_Type && PyMethod_GET_SELF(found) == owner &&
      PyMethod_GET_FUNCTION(found) == PyDict_GetItem(registeredClass->tp_dict, name)) {
    Py_DECREF(found);
    return nullptr;
  }
  return found;
}

}  // namespace bridge
