// Calls of the library's own C++ slot functions from the module's slots. The library's
// slots throw its error_already_set where they meet a Python error, and a C++ exception
// that leaves a slot through the interpreter's C frames ends the process. Called from
// here, the exception is caught and becomes the pending Python error (as the library's
// own calls translate it), and the unwind of a thread that the interpreter ends passes on.
#pragma once

#include <Python.h>

#include <boost/python/errors.hpp>

#include "forced_unwind.h"

namespace internals {

template <class Result, class Function, class... Arguments>
ORV_PASSES_FORCED_UNWIND Result callLibrarySlot(Result failed, Function function,
                                                Arguments... arguments) {
  try {
    return function(arguments...);
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    boost::python::handle_exception();
    return failed;
  }
}

}  // namespace internals
