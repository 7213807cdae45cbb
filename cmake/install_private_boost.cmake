# Install step (see bundle_boost_python.cmake): copies ORV_BOOST_LIBRARY (the library
# behind the component target) and the Boost libraries it really loads into OrvCpp.libs/,
# renames each to <name>-orvcpp.so.<version> with a matching SONAME, and points their
# references to each other, and the module's, at the copies.
#
# A Boost library that Boost.Python lists as needed but takes no symbol from (cmeel-boost
# links libboost_graph and libboost_container into it) is dropped from the copy's list
# and not bundled. A symbol that such a library defines and that the C++ runtime, loaded
# by the copy anyway, also defines (cmeel's libboost_graph carries its own
# std::__throw_bad_array_new_length) counts as taken from the runtime.

set(_dest "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(_libs_dir "${_dest}/OrvCpp.libs")
get_filename_component(_boost_dir "${ORV_BOOST_LIBRARY}" DIRECTORY)

function(_orv_run)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE _out OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "failed (${_status}): ${ARGN}")
  endif()
  set(_orv_out "${_out}" PARENT_SCOPE)
endfunction()

# The dynamic symbols of FILES that are KIND (defined or undefined), without versions.
function(_orv_symbols kind out)
  set(_all "")
  foreach(_file IN LISTS ARGN)
    _orv_run("${ORV_NM}" -D -P "--${kind}-only" "${_file}")
    string(REGEX REPLACE "[@ ][^\n]*" "" _names "${_orv_out}")
    string(REPLACE "\n" ";" _names "${_names}")
    list(APPEND _all ${_names})
  endforeach()
  set(${out} "${_all}" PARENT_SCOPE)
endfunction()

function(_orv_copy lib)
  _orv_run("${ORV_PATCHELF}" --print-soname "${lib}")
  set(_soname "${_orv_out}")
  string(REGEX REPLACE "^([^.]+)" "\\1-orvcpp" _private "${_soname}")
  _orv_run("${CMAKE_COMMAND}" -E copy "${lib}" "${_libs_dir}/${_private}")
  message(STATUS "Bundling ${lib} as OrvCpp.libs/${_private}")
  set(_renames ${_renames} --replace-needed "${_soname}" "${_private}" PARENT_SCOPE)
  set(_copies ${_copies} "${_libs_dir}/${_private}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${_libs_dir}")
file(MAKE_DIRECTORY "${_libs_dir}")
set(_renames "")
set(_copies "")
_orv_copy("${ORV_BOOST_LIBRARY}")
set(_python_copy "${_copies}")

# Boost libraries on the copy's list that it takes nothing from.
file(GET_RUNTIME_DEPENDENCIES
  LIBRARIES "${ORV_BOOST_LIBRARY}"
  PRE_EXCLUDE_REGEXES "^libboost_"
  RESOLVED_DEPENDENCIES_VAR _runtime)
_orv_symbols(undefined _wanted "${ORV_BOOST_LIBRARY}")
_orv_symbols(defined _from_runtime ${_runtime})
list(REMOVE_ITEM _wanted ${_from_runtime})
_orv_run("${ORV_PATCHELF}" --print-needed "${ORV_BOOST_LIBRARY}")
string(REPLACE "\n" ";" _needed "${_orv_out}")
foreach(_soname IN LISTS _needed)
  if(NOT _soname MATCHES "^libboost_" OR NOT EXISTS "${_boost_dir}/${_soname}")
    continue()
  endif()
  _orv_symbols(defined _offered "${_boost_dir}/${_soname}")
  set(_used ${_wanted})
  list(REMOVE_ITEM _offered "")
  if(_offered)
    list(REMOVE_ITEM _used ${_offered})
  endif()
  if(_used STREQUAL _wanted)
    message(STATUS "Not bundling ${_soname}: Boost.Python takes no symbol from it")
    _orv_run("${ORV_PATCHELF}" --remove-needed "${_soname}" "${_python_copy}")
  endif()
endforeach()

# The Boost libraries the pruned copy still loads, directly or not.
file(GET_RUNTIME_DEPENDENCIES
  LIBRARIES "${_python_copy}"
  DIRECTORIES "${_boost_dir}"
  PRE_INCLUDE_REGEXES "^libboost_"
  PRE_EXCLUDE_REGEXES ".*"
  RESOLVED_DEPENDENCIES_VAR _deps
  UNRESOLVED_DEPENDENCIES_VAR _missing)
if(_missing)
  message(FATAL_ERROR "Boost libraries needed by ${ORV_BOOST_LIBRARY} not found: ${_missing}")
endif()
foreach(_lib IN LISTS _deps)
  _orv_copy("${_lib}")
endforeach()

foreach(_copy IN LISTS _copies)
  get_filename_component(_private "${_copy}" NAME)
  _orv_run("${ORV_PATCHELF}" --set-soname "${_private}" --set-rpath "$ORIGIN" ${_renames} "${_copy}")
endforeach()
# The module's own list carries the same libraries (the library's link interface names
# them); it takes no symbol from them either, but the C++ runtime's that cmeel's
# libboost_graph also defines, which the linker then records against that library.
set(_module "${_dest}/${ORV_MODULE_NAME}")
file(GET_RUNTIME_DEPENDENCIES
  LIBRARIES "${_module}"
  PRE_EXCLUDE_REGEXES "^libboost_"
  RESOLVED_DEPENDENCIES_VAR _module_runtime)
_orv_symbols(undefined _module_wanted "${_module}")
_orv_symbols(defined _module_from_runtime ${_module_runtime})
list(REMOVE_ITEM _module_wanted ${_module_from_runtime})
_orv_run("${ORV_PATCHELF}" --print-needed "${_module}")
string(REPLACE "\n" ";" _module_needed "${_orv_out}")
foreach(_soname IN LISTS _module_needed)
  if(NOT _soname MATCHES "^libboost_" OR NOT EXISTS "${_boost_dir}/${_soname}")
    continue()
  endif()
  _orv_symbols(defined _offered "${_boost_dir}/${_soname}")
  set(_used ${_module_wanted})
  list(REMOVE_ITEM _offered "")
  if(_offered)
    list(REMOVE_ITEM _used ${_offered})
  endif()
  if(_used STREQUAL _module_wanted)
    message(STATUS "Dropping ${_soname} from the module's list: it takes no symbol from it")
    _orv_run("${ORV_PATCHELF}" --remove-needed "${_soname}" "${_module}")
  endif()
endforeach()
_orv_run("${ORV_PATCHELF}" ${_renames} "${_module}")
