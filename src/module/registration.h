// Registration of what Python sees, run by the module's initialisation (module.cpp) in
// this order; each step records what it made in defences::registered.
#pragma once

#include <boost/python/object.hpp>

// Registers TickType in the current scope and returns its class.
boost::python::object registerTickType();

// Registers OrvClient with its methods and returns its class.
boost::python::object registerClient();
