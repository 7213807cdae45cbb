# Install step (see bundle_boost_python.cmake): copies ORV_BOOST_LIBRARY (the library
# behind the component target) and the Boost libraries it loads into OrvCpp.libs/,
# renames each to <name>-orvcpp.so.<version> with a matching SONAME, and points their
# references to each other, and the module's, at the copies.

set(_dest "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(_libs_dir "${_dest}/OrvCpp.libs")
get_filename_component(_boost_dir "${ORV_BOOST_LIBRARY}" DIRECTORY)

file(GET_RUNTIME_DEPENDENCIES
  LIBRARIES "${ORV_BOOST_LIBRARY}"
  DIRECTORIES "${_boost_dir}"
  PRE_INCLUDE_REGEXES "^libboost_"
  PRE_EXCLUDE_REGEXES ".*"
  RESOLVED_DEPENDENCIES_VAR _deps
  UNRESOLVED_DEPENDENCIES_VAR _missing)
if(_missing)
  message(FATAL_ERROR "Boost libraries needed by ${ORV_BOOST_LIBRARY} not found: ${_missing}")
endif()

function(_orv_run)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE _out OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "failed (${_status}): ${ARGN}")
  endif()
  set(_orv_out "${_out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${_libs_dir}")
file(MAKE_DIRECTORY "${_libs_dir}")
set(_renames "")
set(_copies "")
foreach(_lib IN LISTS ORV_BOOST_LIBRARY _deps)
  _orv_run("${ORV_PATCHELF}" --print-soname "${_lib}")
  set(_soname "${_orv_out}")
  string(REGEX REPLACE "^([^.]+)" "\\1-orvcpp" _private "${_soname}")
  _orv_run("${CMAKE_COMMAND}" -E copy "${_lib}" "${_libs_dir}/${_private}")
  list(APPEND _renames --replace-needed "${_soname}" "${_private}")
  list(APPEND _copies "${_libs_dir}/${_private}")
  message(STATUS "Bundling ${_lib} as OrvCpp.libs/${_private}")
endforeach()

foreach(_copy IN LISTS _copies)
  get_filename_component(_private "${_copy}" NAME)
  _orv_run("${ORV_PATCHELF}" --set-soname "${_private}" --set-rpath "$ORIGIN" ${_renames} "${_copy}")
endforeach()
_orv_run("${ORV_PATCHELF}" ${_renames} "${_dest}/${ORV_MODULE_NAME}")
