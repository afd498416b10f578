// Helpers shared by the engine tests: run the fixture program through invoke.
#ifndef PAIREX_ENGINE_TEST_SUPPORT_H
#define PAIREX_ENGINE_TEST_SUPPORT_H

#include <signal.h>
#include <sys/types.h>

#include <string>

#include "invoke.h"

inline std::string fixture(const std::string& arguments) {
    return std::string("\"") + ENGINE_FIXTURE + "\" " + arguments;
}

inline invoke_limits no_limits() {
    invoke_limits limits{};
    limits.required_utilization = 0.05;
    return limits;
}

// A result record full of marks, to see which fields a call wrote.
inline invoke_result marked_result() {
    invoke_result result;
    result.terminated = 0xAB;
    result.outcome = 12345;
    result.exit_code = 0xDEADBEEF;
    result.exception_code = 0xFEEDFACE;
    result.cpu_time = 111;
    result.wall_time = 222;
    result.peak_memory = 333;
    result.message = "mark";
    return result;
}

inline invoke_result run(const std::string& command, const invoke_limits& limits,
                         invoke_cancel_fn cancel = nullptr) {
    invoke_result result{};
    invoke(command.c_str(), nullptr, &limits, &result, cancel);
    return result;
}

// True while a process with this id exists (a zombie counts as gone).
inline bool process_alive(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = fopen(path, "r");
    if (file == nullptr) return false;
    char state = '?';
    int ignored_pid;
    char name[256];
    int fields = fscanf(file, "%d (%255[^)]) %c", &ignored_pid, name, &state);
    fclose(file);
    return fields == 3 && state != 'Z' && state != 'X';
}

#endif
