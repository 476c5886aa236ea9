// chmlib, loaded when the program first opens its help file, not when it starts. See base/LateLibrary.h for how the
// functions below forward to the library.
#include "base/LateLibrary.h"

#include <chm_lib.h>

LATE_LIBRARY(CHMLIB_SONAME, "chmlib")

// clang-format off
LATE1(chm_close)
LATE4(chm_enumerate)
LATE1(chm_open)
LATE3(chm_resolve_object)
LATE5(chm_retrieve_object)
// clang-format on
