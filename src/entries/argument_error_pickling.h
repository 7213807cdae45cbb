// Argument errors that survive pickling (argument_error_pickling.cpp).
#pragma once

namespace entries {

// Registers with copyreg, unless a reduction is registered already, the one that
// pickles the library's ArgumentError, and adds the function that unpickles it to the
// module being initialised. Throws error_already_set.
void makeArgumentErrorsPicklable();

}  // namespace entries
