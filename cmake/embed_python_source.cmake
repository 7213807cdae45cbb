# Writes a C++ header that holds a Python source file as a string constant, so that the
# file is compiled into the module as it stands in the tree.
#
#   cmake -DINPUT=<file.py> -DOUTPUT=<header> -DNAME=<constant> -P embed_python_source.cmake
#
# The text goes in a raw string literal, byte for byte; a file that contains the
# literal's closing sequence cannot be held in one and stops the build.
foreach(_var INPUT OUTPUT NAME)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "embed_python_source.cmake needs -D${_var}=...")
  endif()
endforeach()

file(READ "${INPUT}" _source)
set(_close ")PY\"")
string(FIND "${_source}" "${_close}" _at)
if(NOT _at EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains ${_close}, which would end the string that holds it")
endif()

get_filename_component(_name "${INPUT}" NAME)
string(CONCAT _header
  "// Made by the build from ${_name} (cmake/embed_python_source.cmake); edit that file.\n"
  "#pragma once\n\n"
  "inline constexpr const char ${NAME}[] = R\"PY(${_source}${_close};\n")
# Rewritten only when the text changed, so that what includes it is not rebuilt for nothing.
set(_old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" _old)
endif()
if(NOT _old STREQUAL _header)
  file(WRITE "${OUTPUT}" "${_header}")
endif()
