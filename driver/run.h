// The coupled run: the jury program and the user program joined by two
// pipes, each supervised by invoke on a thread of its own, each able to stop
// the other.
#ifndef PAIREX_DRIVER_RUN_H
#define PAIREX_DRIVER_RUN_H

#include <atomic>
#include <cstdint>

#include "command_line.h"
#include "invoke.h"
#include "platform.h"

// Serialises the announcement lines of the two threads: 0 free, 1 held.
extern std::atomic<LONG> console_lock;

// Takes console_lock, retrying every 10 ms; not recursive.
void lock_console();
void unlock_console();

// What the jury thread runs: owned by the main thread.
struct jury_job {
    const char* command_line;
    const invoke_limits* limits;
    invoke_result* result;
};

// Thread procedure of the jury thread; parameter is the jury_job.
DWORD WINAPI jury_thread(LPVOID parameter);

// Cancel callbacks: stop the user program once the jury program has failed,
// and the jury program once the user program's grace period is over.
uint8_t user_cancel(const invoke_status* status);
uint8_t jury_cancel(const invoke_status* status);

// Runs both programs to their ends and releases everything made for the run,
// the two command lines of values included. Fills the user program's records.
void run_pair(command_line* values, invoke_limits* user_limits, invoke_result* user_result);

#endif
