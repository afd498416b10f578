// Runs the built pairex as a judge would: a child process whose standard
// output is read through a pipe, line by line, with deadlines. Everything
// started here is killed and reaped by the end of the test.
#ifndef PAIREX_TESTS_E2E_SUPPORT_H
#define PAIREX_TESTS_E2E_SUPPORT_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

typedef std::chrono::steady_clock::time_point moment;

struct pairex_process {
    pid_t pid = -1;
    int output = -1;                 // read end of pairex's standard output
    std::string pending;             // bytes after the last complete line
    bool output_ended = false;
    bool reaped = false;
    int status = 0;                  // waitpid status once reaped
    std::vector<std::string> lines;  // every complete line read so far
    std::vector<moment> arrivals;    // when each line was read

    pairex_process() = default;
    pairex_process(const pairex_process&) = delete;
    pairex_process& operator=(const pairex_process&) = delete;
    ~pairex_process();  // kills and reaps pairex if still there
};

// Starts pairex with arguments (without its own path).
void start_pairex(pairex_process& process, const std::vector<std::string>& arguments);

// Reads until one more line is complete; false at end of output or timeout.
bool read_line(pairex_process& process, std::chrono::milliseconds timeout);

// Reads until a line equal to text has come; false at end of output or timeout.
bool read_until(pairex_process& process, const std::string& text,
                std::chrono::milliseconds timeout);

// Reads until the output ends; false on timeout.
bool read_to_end(pairex_process& process, std::chrono::milliseconds timeout);

// Waits for pairex to end and reaps it; on timeout kills it, reaps it and
// returns false.
bool wait_for_end(pairex_process& process, std::chrono::milliseconds timeout);

// Kills pairex (SIGKILL) and reaps it.
void kill_pairex(pairex_process& process);

// True while pairex has not ended (it is not reaped here).
bool still_running(pairex_process& process);

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

// Position of the first line equal to text, or -1.
int index_of(const std::vector<std::string>& lines, const std::string& text);

// Number of lines equal to text.
int count_of(const std::vector<std::string>& lines, const std::string& text);

// Milliseconds from one moment to a later one.
long milliseconds_between(moment from, moment to);

// The fixture program's command line for the given mode and arguments.
std::string fixture(const std::string& arguments);

std::string jury_announcement(const std::string& command_line);
std::string user_announcement(const std::string& command_line);

std::string describe(const std::vector<std::string>& lines);

#endif
