#include "python_arguments.h"

#include <cstdint>
#include <boost/python/errors.hpp>
#include <cstring>

#include "../client/operation_traits.h"
#include "../common/error_texts.h"

namespace overrides {
namespace {

// Whether every byte is below 0x80, tested eight bytes at a time; the last bytes of a
// text that is not a multiple of eight long are tested in one more word overlapping the
// one before (or two overlapping half words for texts of four to seven bytes).
bool isAscii(const char* data, std::size_t size) {
  std::uint64_t seen = 0;
  if (size >= 8) {
    std::uint64_t word;
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
      std::memcpy(&word, data + i, 8);
      seen |= word;
    }
    std::memcpy(&word, data + size - 8, 8);
    seen |= word;
  } else if (size >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, data, 4);
    std::memcpy(&tail, data + size - 4, 4);
    seen = head | tail;
  } else {
    for (std::size_t i = 0; i < size; ++i) seen |= static_cast<unsigned char>(data[i]);
  }
  return (seen & 0x8080808080808080ULL) == 0;
}

}  // namespace

// An all-ASCII text of two or more bytes is copied into a new ASCII str, which is what
// the decoder makes of it too, and an empty text is the interpreter's shared empty str,
// as from the decoder; the decoder handles everything else (including one-character
// texts, for which it hands out shared objects as well).
PyObject* toPython(const std::string& text) {
  std::size_t size = text.size();
  if (size == 0) return PyUnicode_New(0, 0);
  if (size > 1 && isAscii(text.data(), size)) {
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (result) std::memcpy(PyUnicode_DATA(result), text.data(), size);
    return result;
  }
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(size));
}

void refuseArgumentForOverride(int operationIndex, int position) {
  if (PyErr_Occurred() == PyExc_UnicodeDecodeError) {
    std::string name = operationNames[operationIndex];
    common::extendUnicodeReason(false, ", in argument " + std::to_string(position) + " (" +
                                   operationParameterNames[operationIndex][position - 1] +
                                   ") of OrvClient operation '" + name +
                                   "', whose method receives texts as str");
  }
  throw boost::python::error_already_set();  // what throw_error_already_set does, seen as not returning
}

}  // namespace overrides
