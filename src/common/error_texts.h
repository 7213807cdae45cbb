// Detail added to a pending error, under the error rule (error_policy.h).
#pragma once

#include <Python.h>

#include <string>

namespace common {

// Adds `context` to the reason of the pending UnicodeEncodeError (`encoding`) or
// UnicodeDecodeError, in place: the type, the traceback and the attributes stay, and
// Python's text of the error ends with its reason. Should that fail, the rule decides
// between the new error and the unextended one.
void extendUnicodeReason(bool encoding, const std::string& context);

}  // namespace common
