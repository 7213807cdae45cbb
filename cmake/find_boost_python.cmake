# Finds Boost.Python built for the interpreter being built for, and defines the target
# Boost::${ORV_BOOST_PYTHON}. By default it comes from PyPI's cmeel-boost, installed in
# the build environment (a build requirement of the project); with ORV_SYSTEM_BOOST it
# is any Boost CMake package configuration CMake finds on its usual paths.
# When none fits, the build stops and says which interpreter it was for and which
# Boost.Python libraries it saw instead.

set(_orv_interpreter
  "CPython ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR} (${Python_EXECUTABLE})")

if(ORV_SYSTEM_BOOST)
  find_package(Boost 1.74 CONFIG QUIET COMPONENTS ${ORV_BOOST_PYTHON})
  set(_orv_searched_dirs "")
  foreach(_prefix IN LISTS CMAKE_PREFIX_PATH)
    list(APPEND _orv_searched_dirs "${_prefix}/lib" "${_prefix}/lib64")
  endforeach()
  list(APPEND _orv_searched_dirs /usr/local/lib /usr/lib /usr/lib64 /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
  set(_orv_source "the system paths and CMAKE_PREFIX_PATH")
  set(_orv_hint "Install a Boost.Python built for this interpreter, or build without -DORV_SYSTEM_BOOST=ON to take it from PyPI's cmeel-boost.")
else()
  # cmeel-boost prints the prefix that holds its libraries and CMake configuration.
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -m cmeel cmake
    OUTPUT_VARIABLE _orv_cmeel_prefix OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET RESULT_VARIABLE _orv_cmeel_status)
  if(NOT _orv_cmeel_status EQUAL 0 OR NOT IS_DIRECTORY "${_orv_cmeel_prefix}")
    message(FATAL_ERROR
      "OrvCpp needs Boost.Python built for ${_orv_interpreter}, but PyPI's cmeel-boost "
      "is not installed for that interpreter ('python -m cmeel cmake' failed). "
      "Install cmeel-boost into the build environment (pip does so on its own unless "
      "--no-build-isolation is given), or use an installed Boost with -DORV_SYSTEM_BOOST=ON.")
  endif()
  find_package(Boost 1.74 CONFIG QUIET COMPONENTS ${ORV_BOOST_PYTHON}
    PATHS "${_orv_cmeel_prefix}" NO_DEFAULT_PATH)
  set(_orv_searched_dirs "${_orv_cmeel_prefix}/lib")
  set(_orv_source "cmeel-boost (${_orv_cmeel_prefix})")
  set(_orv_hint "Install a cmeel-boost release built for this interpreter, or use an installed Boost with -DORV_SYSTEM_BOOST=ON.")
endif()

if(NOT Boost_FOUND OR NOT TARGET Boost::${ORV_BOOST_PYTHON})
  set(_orv_found "")
  foreach(_dir IN LISTS _orv_searched_dirs)
    file(GLOB _orv_libs "${_dir}/libboost_python3*.so")
    foreach(_lib IN LISTS _orv_libs)
      get_filename_component(_name "${_lib}" NAME_WE)
      string(REGEX REPLACE "^libboost_python3([0-9]+)$" "CPython 3.\\1" _for "${_name}")
      list(APPEND _orv_found "${_for} (${_lib})")
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES _orv_found)
  if(_orv_found)
    list(JOIN _orv_found ", " _orv_found)
  else()
    set(_orv_found "none")
  endif()
  message(FATAL_ERROR
    "OrvCpp needs Boost.Python built for ${_orv_interpreter}, component "
    "${ORV_BOOST_PYTHON}, but ${_orv_source} has none. Boost.Python libraries found there "
    "for: ${_orv_found}. ${_orv_hint}")
endif()
message(STATUS "OrvCpp: Boost.Python ${Boost_VERSION} for ${_orv_interpreter} from ${_orv_source}")
