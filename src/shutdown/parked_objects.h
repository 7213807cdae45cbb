// What a program stores on the registered objects is released at exit once nothing can
// use it any more (parked_objects.cpp says when and how).
#pragma once

#include <Python.h>

namespace shutdown {

// Records the release, after everything else is registered.
void releaseParkedObjectsAtExit();

// Every native object reports its start and end: the release waits for the last one,
// and is tried when one ends.
void clientInstanceStarted();
void clientInstanceEnded();

// Watches a module object the import makes: the release is tried when it dies. False
// with the error set when it cannot be watched.
bool watchModuleObject(PyObject* module);

}  // namespace shutdown
