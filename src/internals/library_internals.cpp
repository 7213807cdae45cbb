#include "library_internals.h"

#include <boost/python/converter/registry.hpp>
#include <boost/python/errors.hpp>
#include <boost/python/make_function.hpp>
#include <boost/python/object/class_detail.hpp>
#include <boost/python/object/function.hpp>
#include <boost/python/object/instance.hpp>

#include "../common/error_policy.h"

// Exported by the library, declared by none of its headers.
namespace boost::python::objects {
BOOST_PYTHON_DECL PyObject* static_data();
}

namespace internals {

PyTypeObject* libraryClassMetatype() { return boost::python::objects::class_metatype().get(); }

namespace {
void takesOneNumber(int) {}
}  // namespace

PyObject* libraryArgumentError() {
  // The class is held by a static of the library's error path, out of reach: a call
  // that a function of the library's own refuses shows it.
  boost::python::object probe = boost::python::make_function(&takesOneNumber);
  PyObject* result = PyObject_CallObject(probe.ptr(), nullptr);
  if (result) {
    Py_DECREF(result);
    PyErr_SetString(PyExc_SystemError, "the binding library accepted a call it must refuse");
  }
  PyObject* raised = PyErr_Occurred();
  bool refused = raised && PyType_Check(raised) && raised != PyExc_TypeError &&
                 PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(raised),
                                  reinterpret_cast<PyTypeObject*>(PyExc_TypeError));
  if (!refused || common::pendingErrorMustPropagate()) boost::python::throw_error_already_set();
  Py_INCREF(raised);
  PyErr_Clear();  // the refusal asked for, an ordinary Exception (common/error_policy.h)
  return raised;
}

PyTypeObject* libraryStaticDataType() {
  return reinterpret_cast<PyTypeObject*>(boost::python::objects::static_data());
}

PyGetSetDef* getsetDefinition(PyObject* descriptor) {
  if (!descriptor || Py_TYPE(descriptor) != &PyGetSetDescr_Type) return nullptr;
  return reinterpret_cast<PyGetSetDescrObject*>(descriptor)->d_getset;
}

getter getsetReader(PyObject* descriptor) {
  PyGetSetDef* definition = getsetDefinition(descriptor);
  return definition ? definition->get : nullptr;
}

namespace {
void install(PyTypeObject* type, const char* name, PyObject* made) {
  if (!made) boost::python::throw_error_already_set();
  boost::python::handle<> held(made);
  replaceTypeAttribute(type, name, made);
}
}  // namespace

void installMethod(PyTypeObject* type, PyMethodDef* definition) {
  install(type, definition->ml_name, PyDescr_NewMethod(type, definition));
}

void installGetSet(PyTypeObject* type, PyGetSetDef* definition) {
  install(type, definition->name, PyDescr_NewGetSet(type, definition));
}

setter getsetWriter(PyObject* descriptor) {
  PyGetSetDef* definition = getsetDefinition(descriptor);
  return definition ? definition->set : nullptr;
}

void replaceTypeAttribute(PyTypeObject* type, const char* name, PyObject* value) {
  if (PyDict_SetItemString(type->tp_dict, name, value) < 0) boost::python::throw_error_already_set();
  PyType_Modified(type);
}

int heldObjectCount(PyObject* instance) {
  int count = 0;
  for (boost::python::instance_holder* holder =
           reinterpret_cast<boost::python::objects::instance<>*>(instance)->objects;
       holder; holder = holder->next())
    ++count;
  return count;
}

PyObject* storedDocumentation(PyObject* function) {
  return static_cast<boost::python::objects::function*>(function)->doc().ptr();
}

void storeDocumentation(PyObject* function, PyObject* documentation) {
  static_cast<boost::python::objects::function*>(function)->doc(
      boost::python::object(boost::python::handle<>(boost::python::borrowed(documentation))));
}

// Its name is what the copies share.
struct OrvCppRegisteredModule {};

void offerModuleAttributes(PyObject* (*attributes)(const void*)) {
  boost::python::converter::registry::insert(attributes,
                                             boost::python::type_id<OrvCppRegisteredModule>());
}

PyObject* moduleAttributesOfAnotherCopy() {
  const boost::python::converter::registration* offer =
      boost::python::converter::registry::query(boost::python::type_id<OrvCppRegisteredModule>());
  if (!offer || !offer->m_to_python) return nullptr;
  OrvCppRegisteredModule request;
  return offer->m_to_python(&request);
}

}  // namespace internals
