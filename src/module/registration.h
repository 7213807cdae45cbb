// Registration steps run by the module's initialisation, in this order.
#pragma once

#include <boost/python/object.hpp>

// Registers TickType in the current scope and returns its class.
boost::python::object registerTickType();

// Makes TickType's class a metaclass of the module's own, which gives every subclass of
// TickType, however it is made, the class's own allocator (which checks the size).
void giveSubclassesTheAllocator(PyTypeObject* tickType);

// Registers OrvClient with its methods and returns its class.
boost::python::object registerClient();

// Gives `cls` the library's __reduce__ for registered classes, as a function of the module.
void refuseToPickleInstances(PyObject* cls);

// Makes cycles through instance attributes of `cls` collectable; before any instance exists.
void makeInstancesCollectable(PyTypeObject* cls);

// Gives `cls` a `__dict__` that only accepts a dict; before any instance exists.
void guardInstanceDictionary(PyTypeObject* cls);

// Has what a user later stores on the two classes released when the interpreter exits;
// after everything else is registered.
void releaseParkedObjectsAtExit(PyTypeObject* tickType, PyTypeObject* client);
