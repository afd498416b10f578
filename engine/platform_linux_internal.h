// Pure pieces of the Linux platform layer, visible to its unit tests and
// fuzz targets.
#ifndef PAIREX_PLATFORM_LINUX_INTERNAL_H
#define PAIREX_PLATFORM_LINUX_INTERNAL_H

#include <string>
#include <vector>

#include "platform.h"

namespace linux_layer {

// Splits a command line into arguments by the Microsoft C runtime rules:
// white space separates, double quotes group, backslashes escape only before
// a double quote, and "" inside quotes stands for one quote.
std::vector<std::string> split_command_line(const char* line);

// The Windows error code for an errno value.
DWORD error_from_errno(int error);

// The signal that ends a process for a raised exception code.
int signal_of_exception(DWORD code);

}  // namespace linux_layer

#endif
