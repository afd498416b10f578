// Pieces of the engine shared between its launch and its supervision loop,
// and visible to the unit tests.
#ifndef PAIREX_ENGINE_INTERNAL_H
#define PAIREX_ENGINE_INTERNAL_H

#include "invoke.h"
#include "platform.h"

// A heap copy of the system's one-line text for code; the inserts (texts)
// follow as variadic arguments. Never returns NULL.
char* system_error_text(DWORD code, ...);

// A heap copy of text; falls back to text itself when the heap is exhausted,
// so that a result always has a readable message.
const char* copy_text(const char* text);

// Cuts account (modified in place) at its first backslash: the part before
// it is the domain, the part after it the user. Without a backslash the whole
// text is the user and the domain is ".".
void split_account(char* account, const char** domain, const char** user);

// CPU time and wall time of a process, in milliseconds.
void sample_times(HANDLE process, uint32_t* cpu_time, uint32_t* wall_time);
// Current and peak working set of a process, in bytes, saturated at 2^32-1.
void sample_memory(HANDLE process, uint32_t* memory, uint32_t* peak_memory);

// Steps of one poll after its sampling: utilization over the interval since
// the previous samples, the idle stretch, and the idleness, time and memory
// checks in that order (a later recording overwrites an earlier one).
void apply_poll_checks(invoke_status* status, uint32_t previous_cpu, uint32_t previous_wall,
                       const invoke_limits* limits, invoke_result* result, bool* stop_requested);

// The second half of invoke: supervise the created process until every debugged
// process has ended, then fill result and close both handles.
void supervise(PROCESS_INFORMATION* process, const invoke_limits* limits,
               invoke_result* result, invoke_cancel_fn cancel);

#endif
