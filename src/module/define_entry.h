// What registering an entry of OrvClient takes: the class being built, and defineEntry,
// which the units of register_entries.cpp use.
#pragma once

#include <boost/python/class.hpp>
#include <cstddef>

#include "../entries/entry_caller.h"

namespace module_init {

using ClientClass = boost::python::class_<OrvClientWrapper, boost::noncopyable>;

// Registers `Function` under `name`, as the library's function object (see entryFunction),
// with the names of its parameters after self for its argument errors and signature. The
// entry gets the module's function subtype once the library has registered it (name,
// docstring and place in the class are set by then).
template <auto Function, std::size_t N>
inline void defineEntry(ClientClass& cls, const char* name,
                        const ParameterNameList<N>& parameterNames,
                        int operation = -1) {
  static_assert(N == entries::entryArity<Function>, "one name per parameter");
  static const ParameterNameList<N> kept = parameterNames;  // registered once (describeEntry)
  entries::describeEntry(entries::entryParameters<Function>(), name, kept.data(), operation);
  boost::python::object entry = entries::entryFunction<Function>();
  cls.def(name, entry);
  entries::adoptEntry(entry.ptr());
}

// The methods of one unit of register_entries.cpp (entry_units.h), Unit from 0 to
// entryUnitCount - 1: calling them in that order registers every method in the order
// of client_methods.def.
template <int Unit>
void defineEntries(ClientClass& cls);

}  // namespace module_init
