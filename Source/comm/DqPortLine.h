// What the files of TDqComPort share: the line as found at opening (not
// for use outside comm).
#pragma once

#include "DqPort.h"

// termios2 (any baud rate) comes from the kernel's header; glibc's
// <termios.h> cannot be included beside it.
#include <asm/termbits.h>

struct TDqComPort::TSavedLine {
  termios2 Line{};
};
