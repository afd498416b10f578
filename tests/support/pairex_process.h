// Runs the built pairex as a judge would: a child process whose standard
// output is read through a pipe, line by line, with deadlines and the time
// each line came. Everything started here is killed and reaped by the end
// of the test.
#ifndef PAIREX_TESTS_PAIREX_PROCESS_H
#define PAIREX_TESTS_PAIREX_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

typedef std::chrono::steady_clock::time_point moment;

// What a start does besides running pairex with its arguments.
struct start_options {
    // Standard error on /dev/null rather than ours, so that pairex (and the
    // programs it hands its handles to) holds nothing of this process but
    // the output pipe.
    bool quiet = false;
    // This process adopts what outlives pairex (a program's own child, say)
    // and kills and reaps it with the pairex_process.
    bool adopt_orphans = false;
};

struct pairex_process {
    pid_t pid = -1;
    int output = -1;                 // read end of pairex's standard output
    std::string pending;             // bytes after the last complete line
    bool output_ended = false;
    bool reaped = false;
    int status = 0;                  // waitpid status once reaped
    bool adopts_orphans = false;
    moment started;
    std::vector<std::string> lines;  // every complete line read so far
    std::vector<moment> arrivals;    // when each line was read

    pairex_process() = default;
    pairex_process(const pairex_process&) = delete;
    pairex_process& operator=(const pairex_process&) = delete;
    ~pairex_process();  // kills and reaps pairex if still there
};

// Starts pairex with arguments (without its own path). It gets only its
// three standard handles.
void start_pairex(pairex_process& process, const std::vector<std::string>& arguments,
                  const start_options& options = start_options());

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

// Reads to the end of the output and reaps pairex, both within timeout;
// false after it (pairex is then killed).
bool run_to_end(pairex_process& process, std::chrono::milliseconds timeout);

// Kills pairex (SIGKILL) and reaps it.
void kill_pairex(pairex_process& process);

// True while pairex has not ended (it is not reaped here).
bool still_running(pairex_process& process);

// Position of the first line equal to text, or -1.
int index_of(const std::vector<std::string>& lines, const std::string& text);

// Number of lines equal to text.
int count_of(const std::vector<std::string>& lines, const std::string& text);

// Milliseconds from one moment to a later one.
long milliseconds_between(moment from, moment to);

// Milliseconds from the start of pairex to the arrival of line index, or -1
// when there is no such line.
long arrival_ms(const pairex_process& process, int index);

// The lines, one a row, for a failure message.
std::string describe(const std::vector<std::string>& lines);

#endif
