// What the hostile tests share: the records that the hostile fixture leaves,
// the search for processes of a run that are still alive, the descriptor
// checks, and invoke on a thread of its own. pairex itself runs through the
// shared harness.
#ifndef PAIREX_TESTS_HOSTILE_SUPPORT_H
#define PAIREX_TESTS_HOSTILE_SUPPORT_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "invoke.h"
#include "pairex_process.h"

// The programs inherit pairex's handles and must hold none of ours; what
// outlives pairex is left alone, to show up among the survivors.
const start_options hostile_start = {/*quiet=*/true, /*adopt_orphans=*/false};

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
// excepted; waits up to timeout for them to end first.
std::vector<pid_t> live_processes(const std::string& text,
                                  std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

// Everything of the run: recorded processes and any process whose command
// line names the run (a forked process keeps its parent's until it runs exec). Empty when all have ended.
std::string survivors(const record_dir& dir,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

// Descriptors a program may hold that it should not. Under pairex: anything
// but its standard handles, the null device and the four ends of the run's
// two pipes (its standard input and output), which pairex hands on by
// design. Alone (invoke without redirection): anything but /dev/null on 0, 1, 2.
std::vector<std::string> leaked_descriptors_under_pairex(const process_record& record);
std::vector<std::string> leaked_descriptors_alone(const process_record& record);

// invoke on a thread of its own, as the driver calls it; debugger_tid is the
// thread that debugged the program.
struct invoke_run {
    invoke_result result;
    long debugger_tid = 0;
    long wall_ms = 0;
};

invoke_run invoke_alone(const std::string& command_line, const invoke_limits& limits);

invoke_limits plain_limits();

#endif
