// Makes pairex's own process end the way the user program's run ended, so
// that a judge watching pairex sees the user program's verdict.
#ifndef PAIREX_DRIVER_REPRODUCE_H
#define PAIREX_DRIVER_REPRODUCE_H

#include "invoke.h"

// For a limit outcome: announces it and exceeds the same kind of limit
// forever. For a crash: announces it and raises the same exception. For
// anything else, and when a raised exception is continued: returns the
// user program's exit code, all 32 bits, as the exit status.
int reproduce_verdict(const invoke_result& result);

#endif
