// What the hostile tests share: the records that the hostile fixture leaves,
// the search for processes of a run that are still alive, the descriptor
// checks, invoke on a thread of its own, and pairex run as a judge runs it.
#ifndef PAIREX_TESTS_HOSTILE_SUPPORT_H
#define PAIREX_TESTS_HOSTILE_SUPPORT_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "invoke.h"

typedef std::chrono::steady_clock clock_type;

long milliseconds_since(clock_type::time_point start);

// A directory of its own for the records of one run. Its path is in every
// command line of the run, so it also names the run's processes.
struct record_dir {
    std::string path;
    record_dir();
    ~record_dir();
    record_dir(const record_dir&) = delete;
    record_dir& operator=(const record_dir&) = delete;
};

// The command line of the hostile fixture in a role, with its mode and arguments.
std::string hostile(const record_dir& dir, const std::string& role, const std::string& mode);

// What one process of the fixture wrote about itself.
struct process_record {
    std::string role;
    pid_t pid = 0;
    std::string start;
    pid_t session = 0;
    long tracer = -1;
    std::vector<std::pair<int, std::string>> descriptors;
    std::vector<std::string> events;
};

std::vector<process_record> read_records(const record_dir& dir);

// The records whose role is role exactly.
std::vector<process_record> with_role(const std::vector<process_record>& records,
                                      const std::string& role);

// True while the recorded process runs (a zombie has ended).
bool still_alive(const process_record& record);

// Processes not yet ended whose command line mentions text, this process
// excepted; waits up to timeout_ms for them to end first.
std::vector<pid_t> live_processes(const std::string& text, long timeout_ms = 0);

// Everything of the run: recorded processes and any process whose command
// line names the run (a forked process keeps its parent's until it runs exec). Empty when all have ended.
std::string survivors(const record_dir& dir, long timeout_ms = 0);

// Descriptors a program may hold that it should not. Under pairex: anything
// but its standard handles, the null device and the four ends of the run's
// two pipes (its standard input and output), which pairex hands on by
// design. Alone (invoke without redirection): anything but /dev/null on 0, 1, 2.
std::vector<std::string> leaked_descriptors_under_pairex(const process_record& record);
std::vector<std::string> leaked_descriptors_alone(const process_record& record);

std::string describe(const std::vector<std::string>& lines);

// invoke on a thread of its own, as the driver calls it; debugger_tid is the
// thread that debugged the program.
struct invoke_run {
    invoke_result result;
    long debugger_tid = 0;
    long wall_ms = 0;
};

invoke_run invoke_alone(const std::string& command_line, const invoke_limits& limits);

invoke_limits plain_limits();

// pairex run as a judge would run it: only standard handles of its own,
// standard output read line by line with the time each line came.
struct pairex_process {
    pid_t pid = -1;
    int output = -1;
    std::string pending;
    bool output_ended = false;
    bool reaped = false;
    int status = 0;
    clock_type::time_point started;
    std::vector<std::string> lines;
    std::vector<clock_type::time_point> arrivals;

    pairex_process() = default;
    pairex_process(const pairex_process&) = delete;
    pairex_process& operator=(const pairex_process&) = delete;
    ~pairex_process();
};

void start_pairex(pairex_process& process, const std::vector<std::string>& arguments);

// Reads until a line equal to text has come; false at the end of the output
// or after timeout_ms.
bool read_until(pairex_process& process, const std::string& text, long timeout_ms);

// Reads to the end of the output and reaps pairex; false after timeout_ms.
bool run_to_end(pairex_process& process, long timeout_ms);

// Kills pairex with SIGKILL and reaps it.
void kill_pairex(pairex_process& process);

// Position of the first line equal to text, or -1; how many there are.
int index_of(const std::vector<std::string>& lines, const std::string& text);
int count_of(const std::vector<std::string>& lines, const std::string& text);

// Milliseconds from the start of pairex to the arrival of line index.
long arrival_ms(const pairex_process& process, int index);

#endif
