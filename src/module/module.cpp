// The OrvCpp extension module: TickType first, then OrvClient, and nothing else.
#include <boost/python/module.hpp>

#include "../bridge/override_lookup.h"
#include "../bridge/tick_type_objects.h"
#include "registration.h"
#include "subclass_check.h"

BOOST_PYTHON_MODULE(OrvCpp) {
  boost::python::object tickType = registerTickType();
  bridge::rememberTickTypeMembers(tickType.ptr());
  boost::python::object client = registerClient();
  makeInstancesCollectable(reinterpret_cast<PyTypeObject*>(client.ptr()));
  guardInstanceDictionary(reinterpret_cast<PyTypeObject*>(client.ptr()));
  bridge::prepareOverrideLookup(reinterpret_cast<PyTypeObject*>(client.ptr()));
  prepareSubclassCheck(client.ptr());
  releaseParkedObjectsAtExit(reinterpret_cast<PyTypeObject*>(tickType.ptr()),
                             reinterpret_cast<PyTypeObject*>(client.ptr()));
}
