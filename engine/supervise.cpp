// Supervision loop of invoke: answers debug events, samples the main
// process, enforces the limits, asks the cancel callback and ends the run.
#include <cstring>

#include "engine_internal.h"

namespace {

const DWORD poll_timeout = 100;
const DWORD exception_breakpoint = 0x80000003u;
const DWORD status_segment_notification = 0x40000005u;
const DWORD exception_invalid_handle = 0xC0000008u;

uint64_t filetime_value(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

uint32_t saturate(SIZE_T bytes) {
    return bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes);
}

struct loop_state {
    int32_t process_count = 0;
    bool stop_requested = false;
    bool termination_issued = false;
    bool all_exited = false;
    invoke_status status;
};

// Applies the event policy; returns the continue status for the event.
DWORD handle_event(const DEBUG_EVENT& event, loop_state& loop, const invoke_limits* limits,
                   invoke_result* result) {
    switch (event.dwDebugEventCode) {
    case EXCEPTION_DEBUG_EVENT: {
        DWORD code = event.u.Exception.ExceptionRecord.ExceptionCode;
        if (code == exception_breakpoint || code == status_segment_notification ||
            code == exception_invalid_handle)
            return DBG_CONTINUE;
        if (event.u.Exception.dwFirstChance != 0 &&
            (limits->flags & INVOKE_IGNORE_FIRST_CHANCE) != 0)
            return DBG_EXCEPTION_NOT_HANDLED;
        result->outcome = INVOKE_CRASH;
        loop.status.state = INVOKE_STATE_CRASHED;
        result->exception_code = code;
        loop.stop_requested = true;
        return DBG_CONTINUE;
    }
    case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile != nullptr) CloseHandle(event.u.CreateProcessInfo.hFile);
        loop.process_count += 1;
        if (loop.process_count > 1 && (limits->flags & INVOKE_ALLOW_CHILDREN) == 0) {
            loop.stop_requested = true;
            TerminateProcess(event.u.CreateProcessInfo.hProcess, 0);
            result->outcome = INVOKE_SECURITY_VIOLATION;
            result->message = "Child process created";
        }
        return DBG_CONTINUE;
    case EXIT_PROCESS_DEBUG_EVENT:
        loop.process_count -= 1;
        if (loop.process_count == 0) loop.all_exited = true;
        return DBG_CONTINUE;
    case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile != nullptr) CloseHandle(event.u.LoadDll.hFile);
        return DBG_CONTINUE;
    default:
        return DBG_CONTINUE;
    }
}

}  // namespace

void sample_times(HANDLE process, uint32_t* cpu_time, uint32_t* wall_time) {
    FILETIME creation = {0, 0}, exit = {0, 0}, kernel = {0, 0}, user = {0, 0};
    GetProcessTimes(process, &creation, &exit, &kernel, &user);
    SYSTEMTIME system_now;
    FILETIME now = {0, 0};
    GetSystemTime(&system_now);
    SystemTimeToFileTime(&system_now, &now);
    int64_t cpu = static_cast<int64_t>(filetime_value(kernel) + filetime_value(user));
    int64_t wall = static_cast<int64_t>(filetime_value(now) - filetime_value(creation));
    *cpu_time = static_cast<uint32_t>(cpu / 10000);
    *wall_time = static_cast<uint32_t>(wall / 10000);
}

void sample_memory(HANDLE process, uint32_t* memory, uint32_t* peak_memory) {
    PROCESS_MEMORY_COUNTERS counters;
    memset(&counters, 0, sizeof counters);
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(process, &counters, sizeof counters);
    *memory = saturate(counters.WorkingSetSize);
    *peak_memory = saturate(counters.PeakWorkingSetSize);
}

void apply_poll_checks(invoke_status* status, uint32_t previous_cpu, uint32_t previous_wall,
                       const invoke_limits* limits, invoke_result* result, bool* stop_requested) {
    uint32_t wall_delta = status->wall_time - previous_wall;
    if (status->wall_time != previous_wall) {
        uint32_t cpu_delta = status->cpu_time - previous_cpu;
        status->utilization =
            static_cast<double>(cpu_delta) * 1.0 / static_cast<double>(wall_delta);
    }
    if (limits->required_utilization > status->utilization) {
        status->idle_time += wall_delta;
        if (limits->idleness_limit != 0 && status->idle_time > limits->idleness_limit) {
            *stop_requested = true;
            result->outcome = INVOKE_IDLENESS_LIMIT;
        }
    } else {
        status->idle_time = 0;
    }
    if (limits->time_limit != 0 && status->cpu_time > limits->time_limit) {
        *stop_requested = true;
        result->outcome = INVOKE_TIME_LIMIT;
    }
    if (limits->memory_limit != 0 && status->peak_memory > limits->memory_limit) {
        *stop_requested = true;
        result->outcome = INVOKE_MEMORY_LIMIT;
    }
}

void supervise(PROCESS_INFORMATION* process, const invoke_limits* limits,
               invoke_result* result, invoke_cancel_fn cancel) {
    loop_state loop;
    memset(&loop.status, 0, sizeof loop.status);
    loop.status.state = INVOKE_STATE_RUNNING;
    loop.status.utilization = 1.0;
    invoke_status& status = loop.status;

    while (!loop.all_exited) {
        DWORD continue_status = DBG_CONTINUE;
        DEBUG_EVENT event;
        memset(&event, 0, sizeof event);
        if (WaitForDebugEvent(&event, poll_timeout)) {
            continue_status = handle_event(event, loop, limits, result);
            ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continue_status);
        }

        uint32_t previous_cpu = status.cpu_time;
        uint32_t previous_wall = status.wall_time;
        sample_times(process->hProcess, &status.cpu_time, &status.wall_time);
        sample_memory(process->hProcess, &status.memory, &status.peak_memory);

        apply_poll_checks(&status, previous_cpu, previous_wall, limits, result,
                          &loop.stop_requested);
        if (cancel != nullptr && !loop.stop_requested && cancel(&status) != 0)
            loop.stop_requested = true;
        if (loop.stop_requested && !loop.termination_issued && !loop.all_exited) {
            loop.termination_issued = true;
            TerminateProcess(process->hProcess, 0);
        }
    }

    WaitForSingleObject(process->hProcess, INFINITE);
    sample_times(process->hProcess, &result->cpu_time, &result->wall_time);
    uint32_t final_memory = 0;
    sample_memory(process->hProcess, &final_memory, &result->peak_memory);
    DWORD exit_code = 0;
    GetExitCodeProcess(process->hProcess, &exit_code);
    result->exit_code = exit_code;
    CloseHandle(process->hThread);
    CloseHandle(process->hProcess);
    result->terminated = loop.termination_issued ? 1 : 0;
}
