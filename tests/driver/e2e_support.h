// What the end-to-end tests add to the shared pairex harness: the fixture
// program's command lines, the lines that announce a program, whole runs,
// and the processor time and memory of a live pairex.
#ifndef PAIREX_TESTS_E2E_SUPPORT_H
#define PAIREX_TESTS_E2E_SUPPORT_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "pairex_process.h"

// A fixture program may start a child of its own that outlives pairex.
const start_options e2e_start = {/*quiet=*/false, /*adopt_orphans=*/true};

// CPU time (user plus system) of a live process, in milliseconds.
long cpu_milliseconds(pid_t pid);

// Resident set of a live process, in KiB.
long resident_kib(pid_t pid);

// A finished run: all lines, and how pairex ended.
struct finished_run {
    std::vector<std::string> lines;
    std::vector<moment> arrivals;
    bool ended = false;  // output ended and pairex was reaped in time
    int status = 0;
};

finished_run run_pairex(const std::vector<std::string>& arguments,
                        std::chrono::milliseconds timeout);

// The fixture program's command line for the given mode and arguments.
std::string fixture(const std::string& arguments);

// The count lines read before the last one, oldest first; fewer when fewer
// came before it.
std::vector<std::string> lines_before_last(const pairex_process& process, size_t count);

std::string jury_announcement(const std::string& command_line);
std::string user_announcement(const std::string& command_line);

#endif
