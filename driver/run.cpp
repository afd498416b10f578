#include "run.h"

#include <cstring>
#include <iostream>
#include <new>

#include "console.h"

namespace {

typedef std::atomic<unsigned char> flag;
static_assert(sizeof(flag) == 1, "a flag must fit its one heap byte");

const double required_utilization = 0.05;
const uint32_t user_idleness_limit = 10000;
const DWORD grace_period = 2000;
const DWORD lock_retry = 10;

// Set by the jury thread after a non-zero exit of the jury program.
flag* jury_failed = nullptr;
// Set by the main thread once the grace period after the user run is over.
flag* user_finished = nullptr;

void* allocate(size_t bytes) {
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

flag* allocate_flag() {
    return new (allocate(sizeof(flag))) flag(0);
}

void release(void* block) {
    HeapFree(GetProcessHeap(), 0, block);
}

// Writes the announcement of a program about to run as one locked line.
void announce_run(const char* label, const char* command_line) {
    lock_console();
    std::cout << label << '"' << command_line << '"';
    end_line(std::cout);
    unlock_console();
}

}  // namespace

std::atomic<LONG> console_lock(0);

void lock_console() {
    while (console_lock.exchange(1, std::memory_order_acquire) == 1) Sleep(lock_retry);
}

void unlock_console() {
    console_lock.store(0, std::memory_order_release);
}

DWORD WINAPI jury_thread(LPVOID parameter) {
    jury_job* job = static_cast<jury_job*>(parameter);
    announce_run("Running jury program ", job->command_line);
    invoke(job->command_line, nullptr, job->limits, job->result, jury_cancel);
    uint32_t exit_code = job->result->exit_code;
    lock_console();
    std::cout << "Jury program terminated, exit code " << exit_code;
    end_line(std::cout);
    unlock_console();
    if (exit_code != 0) jury_failed->store(1, std::memory_order_release);
    return 0;
}

uint8_t user_cancel(const invoke_status*) {
    if (jury_failed->load(std::memory_order_acquire) == 0) return 0;
    print_line("Jury program terminated with non-zero code, terminating user program");
    return 1;
}

uint8_t jury_cancel(const invoke_status*) {
    if (user_finished->load(std::memory_order_acquire) == 0) return 0;
    print_line("User program terminated more than 2 seconds ago, terminating jury program");
    return 1;
}

void run_pair(command_line* values, invoke_limits* user_limits, invoke_result* user_result) {
    SECURITY_ATTRIBUTES inheritable;
    memset(&inheritable, 0, sizeof inheritable);
    inheritable.nLength = sizeof inheritable;
    inheritable.lpSecurityDescriptor = nullptr;
    inheritable.bInheritHandle = TRUE;

    // Both programs inherit these; the driver keeps its own ends open until
    // both runs are over, so neither program sees its peer's end as EOF.
    HANDLE null_device = CreateFileA("nul", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                     OPEN_ALWAYS, 0, nullptr);
    HANDLE jury_to_user_read = nullptr, jury_to_user_write = nullptr;
    HANDLE user_to_jury_read = nullptr, user_to_jury_write = nullptr;
    CreatePipe(&jury_to_user_read, &jury_to_user_write, &inheritable, 0);
    CreatePipe(&user_to_jury_read, &user_to_jury_write, &inheritable, 0);

    invoke_limits* jury_limits = static_cast<invoke_limits*>(allocate(sizeof(invoke_limits)));
    jury_limits->time_limit = 0;
    jury_limits->memory_limit = 0;
    jury_limits->idleness_limit = 0;
    jury_limits->required_utilization = required_utilization;
    jury_limits->std_input = user_to_jury_read;
    jury_limits->std_output = jury_to_user_write;
    jury_limits->std_error = null_device;
    jury_limits->flags = INVOKE_REDIRECT_STDIO | INVOKE_IGNORE_FIRST_CHANCE;
    invoke_result* jury_result = static_cast<invoke_result*>(allocate(sizeof(invoke_result)));

    jury_failed = allocate_flag();
    user_finished = allocate_flag();

    jury_job* job = static_cast<jury_job*>(allocate(sizeof(jury_job)));
    job->command_line = values->jury_command_line;
    job->limits = jury_limits;
    job->result = jury_result;
    DWORD thread_id = 0;
    HANDLE thread = CreateThread(nullptr, 0, jury_thread, job, 0, &thread_id);

    memset(user_limits, 0, sizeof *user_limits);
    user_limits->time_limit = values->time_limit;
    user_limits->memory_limit = values->memory_limit;
    user_limits->idleness_limit = user_idleness_limit;
    user_limits->required_utilization = required_utilization;
    user_limits->std_input = jury_to_user_read;
    user_limits->std_output = user_to_jury_write;
    user_limits->std_error = null_device;
    user_limits->flags = INVOKE_REDIRECT_STDIO |
                         (values->ignore_first_chance ? INVOKE_IGNORE_FIRST_CHANCE : 0u);
    memset(user_result, 0, sizeof *user_result);

    announce_run("Running user program ", values->user_command_line);
    invoke(values->user_command_line, nullptr, user_limits, user_result, user_cancel);
    lock_console();
    print_line("User program terminated, wating for jury program");
    unlock_console();

    WaitForSingleObject(thread, grace_period);
    user_finished->store(1, std::memory_order_release);
    WaitForSingleObject(thread, INFINITE);

    // The jury thread has ended: nothing else touches these any more. The
    // null device and the thread handle stay open until the process ends.
    release(job);
    release(values->jury_command_line);
    release(jury_limits);
    release(jury_result);
    release(jury_failed);
    release(user_finished);
    release(values->user_command_line);
    jury_failed = nullptr;
    user_finished = nullptr;
    values->jury_command_line = nullptr;
    values->user_command_line = nullptr;
    CloseHandle(jury_to_user_read);
    CloseHandle(jury_to_user_write);
    CloseHandle(user_to_jury_read);
    CloseHandle(user_to_jury_write);
}
