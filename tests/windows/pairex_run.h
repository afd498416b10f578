// Runs pairex.exe as a judge would on Windows: a child process whose
// standard output is read through a pipe, with a deadline, and whose full
// 32-bit exit code is read back with GetExitCodeProcess.
#ifndef PAIREX_TESTS_WINDOWS_PAIREX_RUN_H
#define PAIREX_TESTS_WINDOWS_PAIREX_RUN_H

#include <windows.h>

#include <string>
#include <vector>

struct pairex_run {
    bool started = false;
    bool ended = false;        // pairex ended by itself before the deadline
    DWORD exit_code = 0;       // valid when ended
    std::vector<std::string> lines;  // its output, line ends removed
};

// True when the tests run under Wine rather than on Windows.
bool running_under_wine();

// A build path as Windows expects it (backslashes).
std::string windows_path(const char* path);

// Runs the command line of pairex (program path and arguments) until it ends
// or timeout_ms passes; a pairex still running then is terminated.
pairex_run run_pairex(const std::string& command_line, DWORD timeout_ms);

// Runs pairex until a line equal to last_line has been printed (or timeout_ms
// passes), then terminates it. ended tells whether it had ended on its own.
pairex_run run_pairex_until(const std::string& command_line, const std::string& last_line,
                            DWORD timeout_ms);

#endif
