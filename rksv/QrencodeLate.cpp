// libqrencode, loaded when the program first draws a receipt's QR code, not when it starts. See base/LateLibrary.h
// for how the functions below forward to the library.
#include "base/LateLibrary.h"

#include <qrencode.h>

LATE_LIBRARY(QRENCODE_SONAME, "libqrencode")

// clang-format off
LATE4(QRcode_encodeData)
LATE1(QRcode_free)
// clang-format on
