// Registration of what Python sees, run by the module's initialisation (module.cpp) in
// this order; each step records what it made in common::registered.
#pragma once

#include <boost/python/object.hpp>

namespace module_init {

// Registers TickType in the current scope and returns its class.
boost::python::object registerTickType();

// Registers OrvClient with its methods and returns its class.
boost::python::object registerClient();

}  // namespace module_init
