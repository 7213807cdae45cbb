#include "error_texts.h"

#include "error_policy.h"

namespace common {

void extendUnicodeReason(bool encoding, const std::string& context) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* reason = encoding ? PyUnicodeEncodeError_GetReason(value)
                              : PyUnicodeDecodeError_GetReason(value);
  const char* text = reason ? PyUnicode_AsUTF8(reason) : nullptr;
  bool extended = false;
  if (text) {
    std::string extendedReason = text + context;
    extended = (encoding ? PyUnicodeEncodeError_SetReason(value, extendedReason.c_str())
                         : PyUnicodeDecodeError_SetReason(value, extendedReason.c_str())) == 0;
  }
  Py_XDECREF(reason);
  if (!extended) {
    settleSecondaryError(type, value, traceback);
    return;
  }
  PyErr_Restore(type, value, traceback);
}

}  // namespace common
