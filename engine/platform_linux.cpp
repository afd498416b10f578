// The process services of platform.h on Linux: processes as ptrace
// debuggees, handles as reference-counted objects, and the Windows error
// codes and texts that callers print. The header lists where it differs.
#include "platform.h"
#include "platform_linux_internal.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

extern char** environ;

namespace {

// Windows status codes of the exceptions that signals stand for.
const DWORD code_access_violation = 0xC0000005u;
const DWORD code_in_page_error = 0xC0000006u;
const DWORD code_misalignment = 0x80000002u;
const DWORD code_breakpoint = 0x80000003u;
const DWORD code_single_step = 0x80000004u;
const DWORD code_illegal_instruction = 0xC000001Du;
const DWORD code_privileged_instruction = 0xC0000096u;
const DWORD code_stack_overflow = 0xC00000FDu;
const DWORD code_int_divide_by_zero = 0xC0000094u;
const DWORD code_int_overflow = 0xC0000095u;
const DWORD code_flt_divide_by_zero = 0xC000008Eu;
const DWORD code_flt_overflow = 0xC0000091u;
const DWORD code_flt_underflow = 0xC0000093u;
const DWORD code_flt_inexact = 0xC000008Fu;
const DWORD code_flt_invalid = 0xC0000090u;
const DWORD code_array_bounds = 0xC000008Cu;
const DWORD code_abort = 0xC0000409u;

}  // namespace

namespace linux_layer {

DWORD error_from_errno(int error) {
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case E2BIG: return ERROR_BAD_ENVIRONMENT;
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EAGAIN: return ERROR_NO_PROC_SLOTS;
    case ENOEXEC:
    case ELIBBAD: return ERROR_BAD_EXE_FORMAT;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    default: return ERROR_GEN_FAILURE;
    }
}

std::vector<std::string> split_command_line(const char* line) {
    std::vector<std::string> arguments;
    const char* p = line;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
        if (*p == '\0') break;
        std::string argument;
        bool quoted = false;
        for (;;) {
            size_t backslashes = 0;
            while (*p == '\\') {
                ++backslashes;
                ++p;
            }
            if (*p == '"') {
                argument.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1) {
                    argument.push_back('"');
                    ++p;
                    continue;
                }
                // Inside quotes a doubled quote stands for one quote.
                if (quoted && p[1] == '"') {
                    argument.push_back('"');
                    p += 2;
                    continue;
                }
                quoted = !quoted;
                ++p;
                continue;
            }
            argument.append(backslashes, '\\');
            if (*p == '\0') break;
            if (!quoted && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' ||
                            *p == '\r'))
                break;
            argument.push_back(*p);
            ++p;
        }
        arguments.push_back(argument);
    }
    return arguments;
}

int signal_of_exception(DWORD code) {
    switch (code) {
    case code_access_violation:
    case code_stack_overflow: return SIGSEGV;
    case code_in_page_error:
    case code_misalignment: return SIGBUS;
    case code_illegal_instruction:
    case code_privileged_instruction: return SIGILL;
    case code_int_divide_by_zero:
    case code_int_overflow:
    case code_flt_divide_by_zero:
    case code_flt_overflow:
    case code_flt_underflow:
    case code_flt_inexact:
    case code_flt_invalid:
    case code_array_bounds:
    case 0xC000008Du:  // denormal operand
    case 0xC0000092u:  // floating-point stack check
        return SIGFPE;
    case code_breakpoint:
    case code_single_step: return SIGTRAP;
    default: return SIGABRT;
    }
}

}  // namespace linux_layer

using linux_layer::error_from_errno;
using linux_layer::signal_of_exception;
using linux_layer::split_command_line;

namespace {

// ---------------------------------------------------------------------------
// Handles

const uint32_t object_magic = 0x50524558;  // "PREX"

enum object_kind { kind_file, kind_process, kind_thread, kind_token };

// One record for every kind of handle; each kind uses its own fields.
struct platform_object {
    uint32_t magic = object_magic;
    object_kind kind = kind_file;
    std::atomic<int> references{1};

    int fd = -1;  // file

    // Process and thread: signalled when the process or thread has ended.
    std::mutex mutex;
    std::condition_variable ended_changed;
    bool ended = false;
    pid_t id = 0;

    // Process. The figures are kept here so that they stay readable after
    // the process has been reaped.
    uint64_t creation_time = 0;  // FILETIME units
    uint64_t exit_time = 0;
    clockid_t cpu_clock = 0;
    bool has_cpu_clock = false;
    int status_fd = -1;  // /proc/<pid>/status, re-read with pread
    uint64_t cpu_100ns = 0;
    uint64_t kernel_100ns = 0;
    // What the copy of the creator spent before the program's exec; the
    // process clock and the rusage count it, the program's times do not.
    uint64_t start_cpu_100ns = 0;
    SIZE_T working_set = 0;
    SIZE_T peak_working_set = 0;
    int wait_status = 0;
    bool terminate_requested = false;
    DWORD terminate_code = 0;
    bool exit_code_overridden = false;
    DWORD exit_code_override = 0;
    // Debugger bookkeeping, touched only by the debugging thread.
    int handed_signal = 0;
    DWORD handed_code = 0;
    bool second_chance_reported = false;

    // Thread started by CreateThread.
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;

    // Token.
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

thread_local DWORD last_error = 0;

platform_object* object_of(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    platform_object* object = static_cast<platform_object*>(handle);
    return object->magic == object_magic ? object : nullptr;
}

platform_object* retain(platform_object* object) {
    object->references.fetch_add(1, std::memory_order_relaxed);
    return object;
}

void release(platform_object* object) {
    if (object->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (object->fd >= 0) close(object->fd);
    if (object->status_fd >= 0) close(object->status_fd);
    object->magic = 0;
    delete object;
}

void mark_ended(platform_object* object) {
    std::lock_guard<std::mutex> lock(object->mutex);
    object->ended = true;
    object->ended_changed.notify_all();
}

platform_object* new_file(int fd) {
    platform_object* object = new platform_object;
    object->kind = kind_file;
    object->fd = fd;
    return object;
}

int fd_of(HANDLE handle) {
    platform_object* object = object_of(handle);
    return object != nullptr && object->kind == kind_file ? object->fd : -1;
}

// ---------------------------------------------------------------------------
// Time

const uint64_t unix_epoch_in_filetime = 116444736000000000ull;

uint64_t now_filetime() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return unix_epoch_in_filetime + static_cast<uint64_t>(now.tv_sec) * 10000000ull +
           static_cast<uint64_t>(now.tv_nsec) / 100;
}

void store_filetime(uint64_t value, FILETIME* time) {
    if (time == nullptr) return;
    time->dwLowDateTime = static_cast<DWORD>(value);
    time->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

uint64_t timeval_100ns(const timeval& value) {
    return static_cast<uint64_t>(value.tv_sec) * 10000000ull +
           static_cast<uint64_t>(value.tv_usec) * 10;
}

// ---------------------------------------------------------------------------
// Errors

struct message_entry {
    DWORD code;
    const char* text;
};

// Texts of the codes this layer produces. Those that only a failed process
// creation can produce name the command line through %1.
const message_entry messages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_FILE_NOT_FOUND, "Cannot run \"%1\": the system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "Cannot run \"%1\": the system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, "Cannot run \"%1\": access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_BAD_ENVIRONMENT, "Cannot run \"%1\": the argument list or the environment is too long.\r\n"},
    {ERROR_GEN_FAILURE, "Cannot run \"%1\": the program could not be started.\r\n"},
    {ERROR_SHARING_VIOLATION, "Cannot run \"%1\": the file is being written by another process.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_NO_PROC_SLOTS, "Cannot run \"%1\": the system cannot start another process at this time.\r\n"},
    {ERROR_BAD_EXE_FORMAT, "Cannot run \"%1\": it is not a valid executable program.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "Cannot run \"%1\": the file name is too long.\r\n"},
    {ERROR_DIRECTORY, "Cannot run \"%1\": the directory name is invalid.\r\n"},
    {ERROR_PRIVILEGE_NOT_HELD, "A required privilege is not held by the client.\r\n"},
    {ERROR_NO_SUCH_USER, "The specified account does not exist.\r\n"},
    {ERROR_LOGON_FAILURE, "The user name or password is incorrect.\r\n"},
    {ERROR_NO_SUCH_DOMAIN, "The specified domain either does not exist or could not be contacted.\r\n"},
};

const char* message_text(DWORD code) {
    for (const message_entry& entry : messages)
        if (entry.code == code) return entry.text;
    return nullptr;
}

// ---------------------------------------------------------------------------
// The files that execvp would try, in its order.
std::vector<std::string> program_candidates(const std::string& name) {
    std::vector<std::string> candidates;
    if (name.find('/') != std::string::npos) {
        candidates.push_back(name);
        return candidates;
    }
    const char* path = getenv("PATH");
    std::string directories = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        size_t end = directories.find(':', start);
        std::string directory =
            directories.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (directory.empty()) directory = ".";
        candidates.push_back(directory + "/" + name);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return candidates;
}

// ---------------------------------------------------------------------------
// Exceptions

bool stack_pointer_of(pid_t tid, uintptr_t* stack_pointer) {
#if defined(__x86_64__)
    user_regs_struct registers;
    if (ptrace(PTRACE_GETREGS, tid, nullptr, &registers) != 0) return false;
    *stack_pointer = registers.rsp;
    return true;
#elif defined(__i386__)
    user_regs_struct registers;
    if (ptrace(PTRACE_GETREGS, tid, nullptr, &registers) != 0) return false;
    *stack_pointer = registers.esp;
    return true;
#elif defined(__aarch64__)
    user_regs_struct registers;
    iovec vector = {&registers, sizeof registers};
    if (ptrace(PTRACE_GETREGSET, tid, reinterpret_cast<void*>(NT_PRSTATUS), &vector) != 0)
        return false;
    *stack_pointer = registers.sp;
    return true;
#else
    (void)tid;
    (void)stack_pointer;
    return false;
#endif
}

// A fault close to the stack pointer is taken for a stack overflow: a call or
// a push that runs into the guard area faults just below it.
bool is_stack_fault(pid_t tid, const siginfo_t& info) {
    uintptr_t stack_pointer = 0;
    if (!stack_pointer_of(tid, &stack_pointer)) return false;
    uintptr_t address = reinterpret_cast<uintptr_t>(info.si_addr);
    const uintptr_t below = 64 * 1024, above = 1024 * 1024;
    return address + below >= stack_pointer && address < stack_pointer + above;
}

// The Windows status code of a fault signal, or 0 for a signal that is no
// exception.
DWORD exception_code_of(int signal_number, const siginfo_t& info, pid_t tid) {
    switch (signal_number) {
    case SIGSEGV:
        return is_stack_fault(tid, info) ? code_stack_overflow : code_access_violation;
    case SIGBUS:
        return info.si_code == BUS_ADRALN ? code_misalignment : code_in_page_error;
    case SIGILL:
        return info.si_code == ILL_PRVOPC ? code_privileged_instruction : code_illegal_instruction;
    case SIGFPE:
        switch (info.si_code) {
        case FPE_INTOVF: return code_int_overflow;
        case FPE_FLTDIV: return code_flt_divide_by_zero;
        case FPE_FLTOVF: return code_flt_overflow;
        case FPE_FLTUND: return code_flt_underflow;
        case FPE_FLTRES: return code_flt_inexact;
        case FPE_FLTINV: return code_flt_invalid;
        case FPE_FLTSUB: return code_array_bounds;
        default: return code_int_divide_by_zero;
        }
    case SIGTRAP:
        return info.si_code == TRAP_TRACE ? code_single_step : code_breakpoint;
    case SIGABRT:
        return code_abort;
    default:
        return 0;
    }
}

// ---------------------------------------------------------------------------
// The debugger: one per thread that created debugged processes.

enum continue_action { action_none, action_resume, action_exception, action_release };

struct queued_event {
    DEBUG_EVENT event;
    continue_action action;
    pid_t tid;
    int signal_number;
    platform_object* process;
};

struct debuggee_thread {
    platform_object* process;  // not owned
    platform_object* thread;   // owned reference
    // A task learned of from its creator's fork or clone report has yet to
    // report its first stop; its creation event may be continued before.
    bool initial_stop_pending = false;
    bool resume_at_initial_stop = false;
};

const int wake_signal_offset = 2;  // SIGRTMAX - 2

void ignore_wake(int) {}

struct debugger_state {
    std::unordered_map<pid_t, debuggee_thread> threads;
    std::unordered_map<pid_t, platform_object*> processes;  // owned references
    std::deque<queued_event> queue;
    queued_event current{};
    bool has_current = false;
    timer_t timer{};
    bool has_timer = false;

    ~debugger_state() {
        // Whatever still runs dies with this thread (PTRACE_O_EXITKILL).
        for (auto& entry : processes) {
            kill(entry.first, SIGKILL);
            mark_ended(entry.second);
            release(entry.second);
        }
        for (auto& entry : threads) {
            mark_ended(entry.second.thread);
            release(entry.second.thread);
        }
        if (has_timer) timer_delete(timer);
    }
};

thread_local debugger_state* this_debugger = nullptr;

struct debugger_owner {
    ~debugger_owner() {
        delete this_debugger;
        this_debugger = nullptr;
    }
};
thread_local debugger_owner debugger_cleanup;

int wake_signal() { return SIGRTMAX - wake_signal_offset; }

debugger_state* debugger() {
    if (this_debugger != nullptr) return this_debugger;
    static std::once_flag handler_installed;
    std::call_once(handler_installed, [] {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = ignore_wake;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the wake must interrupt waitpid
        sigaction(wake_signal(), &action, nullptr);
    });
    sigset_t wake_set;
    sigemptyset(&wake_set);
    sigaddset(&wake_set, wake_signal());
    pthread_sigmask(SIG_UNBLOCK, &wake_set, nullptr);

    debugger_state* state = new debugger_state;
    sigevent notification;
    memset(&notification, 0, sizeof notification);
    notification.sigev_notify = SIGEV_THREAD_ID;
    notification.sigev_signo = wake_signal();
#ifdef sigev_notify_thread_id
    notification.sigev_notify_thread_id = static_cast<pid_t>(syscall(SYS_gettid));
#else
    notification._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
#endif
    state->has_timer = timer_create(CLOCK_MONOTONIC, &notification, &state->timer) == 0;
    this_debugger = state;
    (void)&debugger_cleanup;  // touch it so that it is constructed for this thread
    return state;
}

platform_object* new_process_object(pid_t pid, uint64_t creation_time) {
    platform_object* process = new platform_object;
    process->kind = kind_process;
    process->id = pid;
    process->creation_time = creation_time;
    process->has_cpu_clock = clock_getcpuclockid(pid, &process->cpu_clock) == 0;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    process->status_fd = open(path, O_RDONLY | O_CLOEXEC);
    return process;
}

platform_object* new_thread_object(pid_t tid) {
    platform_object* thread = new platform_object;
    thread->kind = kind_thread;
    thread->id = tid;
    return thread;
}

pid_t thread_group_of(pid_t tid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(tid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buffer[4096];
    ssize_t length = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    if (length <= 0) return -1;
    buffer[length] = '\0';
    const char* line = strstr(buffer, "\nTgid:");
    return line != nullptr ? static_cast<pid_t>(strtol(line + 6, nullptr, 10)) : -1;
}

DWORD exit_code_of(platform_object* process) {
    if (process->exit_code_overridden) return process->exit_code_override;
    int status = process->wait_status;
    if (WIFSIGNALED(status)) {
        if (WTERMSIG(status) == SIGKILL && process->terminate_requested) return process->terminate_code;
        return 128u + static_cast<DWORD>(WTERMSIG(status));
    }
    return static_cast<DWORD>(WEXITSTATUS(status));
}

void register_process(debugger_state* state, platform_object* process, platform_object* thread,
                      bool initial_stop_pending) {
    state->processes[process->id] = process;
    state->threads[thread->id] = debuggee_thread{process, thread, initial_stop_pending, false};
    queued_event entry{};
    entry.event.dwDebugEventCode = CREATE_PROCESS_DEBUG_EVENT;
    entry.event.dwProcessId = static_cast<DWORD>(process->id);
    entry.event.dwThreadId = static_cast<DWORD>(thread->id);
    entry.event.u.CreateProcessInfo.hFile = nullptr;
    entry.event.u.CreateProcessInfo.hProcess = process;
    entry.event.u.CreateProcessInfo.hThread = thread;
    entry.action = action_resume;
    entry.tid = thread->id;
    entry.process = process;
    state->queue.push_back(entry);
}

void forget_thread(debugger_state* state, pid_t tid) {
    auto found = state->threads.find(tid);
    if (found == state->threads.end()) return;
    mark_ended(found->second.thread);
    release(found->second.thread);
    state->threads.erase(found);
}

// Reads the working set and its peak from a task's status file; keeps the
// last figures when the task has no memory any more (a zombie).
void refresh_memory_from(platform_object* process, int status_fd) {
    if (status_fd < 0) return;
    char buffer[4096];
    ssize_t length = pread(status_fd, buffer, sizeof buffer - 1, 0);
    if (length <= 0) return;
    buffer[length] = '\0';
    const char* peak = strstr(buffer, "\nVmHWM:");
    const char* resident = strstr(buffer, "\nVmRSS:");
    if (peak == nullptr || resident == nullptr) return;
    SIZE_T peak_bytes = static_cast<SIZE_T>(strtoull(peak + 7, nullptr, 10)) * 1024;
    process->working_set = static_cast<SIZE_T>(strtoull(resident + 7, nullptr, 10)) * 1024;
    // The program may reset its own high-water mark; the peak never falls.
    process->peak_working_set = std::max(process->peak_working_set,
                                         std::max(peak_bytes, process->working_set));
}

void refresh_memory(platform_object* process) { refresh_memory_from(process, process->status_fd); }

// A task stopped on its way out still has the process's memory: its peak is
// the last word on it. The rusage peak cannot serve, since it also holds
// what the creator's copy had before the exec.
void record_final_memory(debugger_state* state, pid_t tid) {
    auto known = state->threads.find(tid);
    if (known == state->threads.end()) return;
    platform_object* process = known->second.process;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(tid));
    int status_fd = open(path, O_RDONLY | O_CLOEXEC);
    std::lock_guard<std::mutex> lock(process->mutex);
    refresh_memory_from(process, status_fd);
    if (status_fd >= 0) close(status_fd);
}

// A CPU figure of the process less what it spent before the exec.
uint64_t after_start(const platform_object* process, uint64_t cpu_100ns) {
    uint64_t start = process->start_cpu_100ns;
    return cpu_100ns > start ? cpu_100ns - start : 0;
}

uint64_t cpu_clock_100ns(clockid_t clock) {
    timespec used;
    if (clock_gettime(clock, &used) != 0) return 0;
    return static_cast<uint64_t>(used.tv_sec) * 10000000ull +
           static_cast<uint64_t>(used.tv_nsec) / 100;
}

// Registers a new task and queues its creation event. It is known from the
// moment its creator reports it, so that a process cannot end unnoticed
// with a child that has not yet reported anything.
void handle_new_task(debugger_state* state, pid_t tid, pid_t group, bool stopped_now) {
    auto owner = state->processes.find(group);
    if (group > 0 && group != tid && owner != state->processes.end()) {
        platform_object* thread = new_thread_object(tid);
        state->threads[tid] = debuggee_thread{owner->second, thread, !stopped_now, false};
        queued_event entry{};
        entry.event.dwDebugEventCode = CREATE_THREAD_DEBUG_EVENT;
        entry.event.dwProcessId = static_cast<DWORD>(group);
        entry.event.dwThreadId = static_cast<DWORD>(tid);
        entry.event.u.CreateThread.hThread = thread;
        entry.action = action_resume;
        entry.tid = tid;
        entry.process = owner->second;
        state->queue.push_back(entry);
        return;
    }
    platform_object* process = new_process_object(tid, now_filetime());
    platform_object* thread = new_thread_object(tid);
    register_process(state, process, thread, !stopped_now);
}

void handle_exit(debugger_state* state, pid_t tid, int status, const rusage& usage) {
    auto found = state->threads.find(tid);
    if (found == state->threads.end()) return;
    platform_object* process = found->second.process;
    pid_t pid = process->id;

    if (WIFSIGNALED(status) && process->handed_signal != 0 &&
        WTERMSIG(status) == process->handed_signal && !process->second_chance_reported) {
        process->second_chance_reported = true;
        queued_event entry{};
        entry.event.dwDebugEventCode = EXCEPTION_DEBUG_EVENT;
        entry.event.dwProcessId = static_cast<DWORD>(pid);
        entry.event.dwThreadId = static_cast<DWORD>(tid);
        entry.event.u.Exception.ExceptionRecord.ExceptionCode = process->handed_code;
        entry.event.u.Exception.dwFirstChance = 0;
        entry.action = action_none;
        entry.tid = tid;
        entry.process = process;
        state->queue.push_back(entry);
    }

    if (tid != pid) {
        forget_thread(state, tid);
        queued_event entry{};
        entry.event.dwDebugEventCode = EXIT_THREAD_DEBUG_EVENT;
        entry.event.dwProcessId = static_cast<DWORD>(pid);
        entry.event.dwThreadId = static_cast<DWORD>(tid);
        entry.event.u.ExitThread.dwExitCode =
            WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : 128u + WTERMSIG(status);
        entry.action = action_none;
        entry.tid = tid;
        state->queue.push_back(entry);
        return;
    }

    // The leader is reported last: the whole process has ended.
    {
        std::lock_guard<std::mutex> lock(process->mutex);
        process->wait_status = status;
        // The time before the exec was mostly the kernel's: it comes off the
        // kernel time first.
        uint64_t kernel = timeval_100ns(usage.ru_stime);
        uint64_t total = timeval_100ns(usage.ru_utime) + kernel;
        process->cpu_100ns = std::max(process->cpu_100ns, after_start(process, total));
        process->kernel_100ns = std::min(after_start(process, kernel), process->cpu_100ns);
        process->working_set = 0;
        process->exit_time = now_filetime();
        process->ended = true;
        if (process->status_fd >= 0) {
            close(process->status_fd);
            process->status_fd = -1;
        }
        process->ended_changed.notify_all();
    }
    std::vector<pid_t> remaining;
    for (auto& entry : state->threads)
        if (entry.second.process == process) remaining.push_back(entry.first);
    for (pid_t thread : remaining) forget_thread(state, thread);
    state->processes.erase(pid);

    queued_event entry{};
    entry.event.dwDebugEventCode = EXIT_PROCESS_DEBUG_EVENT;
    entry.event.dwProcessId = static_cast<DWORD>(pid);
    entry.event.dwThreadId = static_cast<DWORD>(tid);
    entry.action = action_release;
    entry.tid = tid;
    entry.process = process;  // the debugger's reference moves to the event
    state->queue.push_back(entry);
}

bool is_stop_signal(int signal_number) {
    return signal_number == SIGSTOP || signal_number == SIGTSTP || signal_number == SIGTTIN ||
           signal_number == SIGTTOU;
}

void handle_stop(debugger_state* state, pid_t tid, int status) {
    int signal_number = WSTOPSIG(status);
    int ptrace_event = status >> 16;
    if (ptrace_event != 0) {
        if (ptrace_event == PTRACE_EVENT_EXIT) {
            record_final_memory(state, tid);
        } else if (ptrace_event == PTRACE_EVENT_EXEC) {
            unsigned long former = 0;
            ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &former);
            // A thread other than the leader ran exec: it took over the leader's id.
            if (static_cast<pid_t>(former) != tid) forget_thread(state, static_cast<pid_t>(former));
        } else if (ptrace_event == PTRACE_EVENT_FORK || ptrace_event == PTRACE_EVENT_VFORK ||
                   ptrace_event == PTRACE_EVENT_CLONE) {
            unsigned long created = 0;
            ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &created);
            pid_t child = static_cast<pid_t>(created);
            if (child > 0 && state->threads.find(child) == state->threads.end()) {
                pid_t group = ptrace_event == PTRACE_EVENT_CLONE ? thread_group_of(child) : child;
                handle_new_task(state, child, group > 0 ? group : child, false);
            }
        }
        ptrace(PTRACE_CONT, tid, nullptr, nullptr);
        return;
    }
    auto known = state->threads.find(tid);
    if (known == state->threads.end()) {
        handle_new_task(state, tid, thread_group_of(tid), true);
        return;
    }
    if (known->second.initial_stop_pending) {
        // The first stop of a task already reported: it waits here for its
        // creation event to be continued, unless that has happened.
        known->second.initial_stop_pending = false;
        if (known->second.resume_at_initial_stop) ptrace(PTRACE_CONT, tid, nullptr, nullptr);
        return;
    }
    siginfo_t info;
    memset(&info, 0, sizeof info);
    bool has_info = ptrace(PTRACE_GETSIGINFO, tid, nullptr, &info) == 0;
    if (!has_info && is_stop_signal(signal_number)) {
        // Group stop: the program stopped itself and stays stopped.
        return;
    }
    DWORD code = has_info ? exception_code_of(signal_number, info, tid) : 0;
    if (code == 0) {
        ptrace(PTRACE_CONT, tid, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(signal_number)));
        return;
    }
    platform_object* process = state->threads[tid].process;
    queued_event entry{};
    entry.event.dwDebugEventCode = EXCEPTION_DEBUG_EVENT;
    entry.event.dwProcessId = static_cast<DWORD>(process->id);
    entry.event.dwThreadId = static_cast<DWORD>(tid);
    entry.event.u.Exception.ExceptionRecord.ExceptionCode = code;
    entry.event.u.Exception.ExceptionRecord.ExceptionAddress = info.si_addr;
    entry.event.u.Exception.dwFirstChance = 1;
    entry.action = action_exception;
    entry.tid = tid;
    entry.signal_number = signal_number;
    entry.process = process;
    state->queue.push_back(entry);
}

// waitpid found no child any more although processes are known: they can
// never report again, so report them as ended.
void report_lost_processes(debugger_state* state) {
    std::vector<pid_t> lost;
    for (auto& entry : state->processes) lost.push_back(entry.first);
    for (pid_t pid : lost) {
        rusage usage;
        memset(&usage, 0, sizeof usage);
        handle_exit(state, pid, W_EXITCODE(0, SIGKILL), usage);
    }
}

void dispatch(debugger_state* state, pid_t tid, int status, const rusage& usage) {
    if (WIFSTOPPED(status)) handle_stop(state, tid, status);
    else handle_exit(state, tid, status, usage);
}

long long nanoseconds_until(const timespec& deadline) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (deadline.tv_sec - now.tv_sec) * 1000000000ll + (deadline.tv_nsec - now.tv_nsec);
}

// Takes waitpid reports until one yields an event or the time is up.
bool wait_for_event(debugger_state* state, DWORD milliseconds) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    while (state->queue.empty()) {
        int status = 0;
        rusage usage;
        memset(&usage, 0, sizeof usage);
        long long remaining_ns = milliseconds == INFINITE ? 1 : nanoseconds_until(deadline);
        if (remaining_ns <= 0) {
            pid_t tid = wait4(-1, &status, __WALL | __WNOTHREAD | WNOHANG, &usage);
            if (tid <= 0) return false;
            dispatch(state, tid, status, usage);
            continue;
        }
        // The timer interrupts the wait; its short repeat covers an expiry
        // that lands just before the wait begins.
        bool armed = milliseconds != INFINITE && state->has_timer;
        if (armed) {
            itimerspec arm;
            memset(&arm, 0, sizeof arm);
            arm.it_value.tv_sec = remaining_ns / 1000000000ll;
            arm.it_value.tv_nsec = remaining_ns % 1000000000ll;
            arm.it_interval.tv_nsec = 5000000;
            timer_settime(state->timer, 0, &arm, nullptr);
        }
        pid_t tid = wait4(-1, &status, __WALL | __WNOTHREAD, &usage);
        int wait_error = errno;
        if (armed) {
            itimerspec disarm;
            memset(&disarm, 0, sizeof disarm);
            timer_settime(state->timer, 0, &disarm, nullptr);
        }
        if (tid > 0) {
            dispatch(state, tid, status, usage);
            continue;
        }
        if (wait_error == ECHILD) {
            if (!state->processes.empty()) {
                report_lost_processes(state);
                continue;
            }
            if (milliseconds == INFINITE) return false;
            long long left = nanoseconds_until(deadline);
            if (left > 0) {
                timespec pause = {static_cast<time_t>(left / 1000000000ll),
                                  static_cast<long>(left % 1000000000ll)};
                while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
                }
            }
            return false;
        }
        // Interrupted: look at the deadline again.
    }
    return true;
}

// ---------------------------------------------------------------------------
// Process creation

struct child_failure {
    int stage;  // 0 exec, 1 directory, 2 credentials, 3 set-up
    int error;
};

const int stage_exec = 0, stage_directory = 1, stage_credentials = 2, stage_setup = 3;

void write_failure(int fd, int stage, int error) {
    child_failure failure = {stage, error};
    ssize_t ignored = write(fd, &failure, sizeof failure);
    (void)ignored;
}

// Refuses the ways of starting a process that a tracer does not follow:
// clone with CLONE_UNTRACED, and clone3 (whose flags a filter cannot read;
// libc then falls back to clone).
bool install_clone_filter() {
#if defined(__x86_64__) || defined(__aarch64__)
#if defined(__x86_64__)
    const uint32_t native_arch = AUDIT_ARCH_X86_64;
    const uint32_t native_clone = 56, native_clone3 = 435, abi_bit = 0x40000000u;
    const uint32_t compat_arch = AUDIT_ARCH_I386, compat_clone = 120, compat_clone3 = 435;
#else
    const uint32_t native_arch = AUDIT_ARCH_AARCH64;
    const uint32_t native_clone = 220, native_clone3 = 435, abi_bit = 0;
    const uint32_t compat_arch = AUDIT_ARCH_ARM, compat_clone = 120, compat_clone3 = 435;
#endif
    enum {
        load_arch, is_native, load_nr, strip_abi, native_is_clone3, native_is_clone, is_compat,
        load_compat_nr, compat_is_clone3, compat_is_clone, load_flags, has_untraced, deny_enosys,
        deny_eperm, allow
    };
    auto jump = [](int at, uint32_t value, int if_true, int if_false) {
        sock_filter statement = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value,
                                         static_cast<unsigned char>(if_true - at - 1),
                                         static_cast<unsigned char>(if_false - at - 1));
        return statement;
    };
    sock_filter set_bit = BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_UNTRACED,
                                   deny_eperm - has_untraced - 1, allow - has_untraced - 1);
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        jump(is_native, native_arch, load_nr, is_compat),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, ~abi_bit),
        jump(native_is_clone3, native_clone3, deny_enosys, native_is_clone),
        jump(native_is_clone, native_clone, load_flags, allow),
        jump(is_compat, compat_arch, load_compat_nr, allow),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        jump(compat_is_clone3, compat_clone3, deny_enosys, compat_is_clone),
        jump(compat_is_clone, compat_clone, load_flags, allow),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        set_bit,
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog filter = {static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
#else
    return true;
#endif
}

struct launch_plan {
    std::vector<std::string> arguments;
    std::vector<char*> argv;
    std::vector<std::string> candidates;
    const char* directory = nullptr;
    int std_fds[3] = {-1, -1, -1};
    bool inherit = false;
    platform_object* token = nullptr;
    int null_fd = -1;
    int failure_fd = -1;
    pid_t parent = 0;
};

// Runs in the new process between fork and exec: only async-signal-safe calls.
[[noreturn]] void run_child(const launch_plan& plan) {
    // Dispositions first, then the mask: a signal let through must not run
    // a handler of the caller's.
    struct sigaction default_action;
    memset(&default_action, 0, sizeof default_action);
    default_action.sa_handler = SIG_DFL;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number)
        if (signal_number != SIGKILL && signal_number != SIGSTOP)
            sigaction(signal_number, &default_action, nullptr);
    sigset_t all;
    sigemptyset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);

    // A process group of its own, in the caller's session: a session of its
    // own would make the scheduler run it as a separate autogroup, which
    // slows every exchange between the two programs of a pair.
    setpgid(0, 0);

    // Move the standard handles out of the way before placing them, so that
    // a source that already sits on 0, 1 or 2 is not overwritten.
    int sources[3];
    for (int i = 0; i < 3; ++i) {
        int source = plan.inherit && plan.std_fds[i] >= 0 ? plan.std_fds[i] : plan.null_fd;
        sources[i] = fcntl(source, F_DUPFD_CLOEXEC, 3);
        if (sources[i] < 0) {
            write_failure(plan.failure_fd, stage_setup, errno);
            _exit(127);
        }
    }
    for (int i = 0; i < 3; ++i) {
        if (dup2(sources[i], i) < 0) {
            write_failure(plan.failure_fd, stage_setup, errno);
            _exit(127);
        }
    }
    if (!plan.inherit) {
        if (syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */) != 0) {
            long limit = sysconf(_SC_OPEN_MAX);
            if (limit < 0 || limit > 65536) limit = 65536;
            for (int fd = 3; fd < limit; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }

    if (plan.directory != nullptr && chdir(plan.directory) != 0) {
        write_failure(plan.failure_fd, stage_directory, errno);
        _exit(127);
    }
    if (plan.token != nullptr && geteuid() == 0) {
        if (setgroups(plan.token->groups.size(), plan.token->groups.data()) != 0 ||
            setgid(plan.token->gid) != 0 || setuid(plan.token->uid) != 0) {
            write_failure(plan.failure_fd, stage_credentials, errno);
            _exit(127);
        }
    }
    // Dies with the debugging thread until PTRACE_O_EXITKILL takes over.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != plan.parent) _exit(127);
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || !install_clone_filter()) {
        write_failure(plan.failure_fd, stage_setup, errno);
        _exit(127);
    }
    raise(SIGSTOP);

    int error = ENOENT;
    bool denied = false;
    for (const std::string& candidate : plan.candidates) {
        execve(candidate.c_str(), plan.argv.data(), environ);
        error = errno;
        if (error == EACCES) denied = true;
        else if (error != ENOENT && error != ENOTDIR) break;
    }
    if (denied && (error == ENOENT || error == ENOTDIR)) error = EACCES;
    write_failure(plan.failure_fd, stage_exec, error);
    _exit(127);
}

DWORD failure_code(const child_failure& failure) {
    if (failure.stage == stage_directory) return ERROR_DIRECTORY;
    if (failure.stage == stage_credentials) return ERROR_ACCESS_DENIED;
    return error_from_errno(failure.error);
}

// Reaps a process that failed before its exec.
void reap_failed_child(pid_t pid) {
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, __WALL);
        if (done < 0 && errno != EINTR) return;
        if (done == pid && WIFSTOPPED(status)) {
            kill(pid, SIGKILL);
            ptrace(PTRACE_CONT, pid, nullptr, nullptr);
            continue;
        }
        if (done == pid) return;
    }
}

BOOL create_process(platform_object* token, LPSTR command_line, BOOL inherit_handles,
                    DWORD creation_flags, LPCSTR current_directory, LPSTARTUPINFOA startup_info,
                    LPPROCESS_INFORMATION process_information) {
    if (command_line == nullptr || process_information == nullptr) {
        last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if ((creation_flags & DEBUG_PROCESS) == 0) {
        last_error = ERROR_NOT_SUPPORTED;
        return FALSE;
    }
    launch_plan plan;
    plan.arguments = split_command_line(command_line);
    if (plan.arguments.empty() || plan.arguments[0].empty()) {
        last_error = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    for (std::string& argument : plan.arguments) plan.argv.push_back(&argument[0]);
    plan.argv.push_back(nullptr);
    plan.candidates = program_candidates(plan.arguments[0]);
    plan.directory = current_directory;
    plan.inherit = inherit_handles != FALSE;
    plan.token = token;
    if (startup_info != nullptr && (startup_info->dwFlags & STARTF_USESTDHANDLES) != 0) {
        plan.std_fds[0] = fd_of(startup_info->hStdInput);
        plan.std_fds[1] = fd_of(startup_info->hStdOutput);
        plan.std_fds[2] = fd_of(startup_info->hStdError);
    } else if (plan.inherit) {
        for (int i = 0; i < 3; ++i) plan.std_fds[i] = i;
    }
    plan.null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    int failure_pipe[2];
    if (plan.null_fd < 0 || pipe2(failure_pipe, O_CLOEXEC) != 0) {
        last_error = error_from_errno(errno);
        if (plan.null_fd >= 0) close(plan.null_fd);
        return FALSE;
    }
    plan.failure_fd = failure_pipe[1];
    plan.parent = getpid();

    debugger_state* state = debugger();
    uint64_t creation_time = now_filetime();
    pid_t pid = fork();
    if (pid == 0) run_child(plan);
    int fork_error = errno;
    close(failure_pipe[1]);
    close(plan.null_fd);
    if (pid < 0) {
        close(failure_pipe[0]);
        last_error = error_from_errno(fork_error);
        return FALSE;
    }

    // First stop: the child is traced and waits for its options.
    int status = 0;
    while (waitpid(pid, &status, __WALL) < 0 && errno == EINTR) {
    }
    bool stopped = WIFSTOPPED(status);
    if (stopped) {
        ptrace(PTRACE_SETOPTIONS, pid, nullptr,
               reinterpret_cast<void*>(static_cast<intptr_t>(
                   PTRACE_O_EXITKILL | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
                   PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC | PTRACE_O_TRACEEXIT)));
        ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    }
    // The failure pipe closes at a successful exec, or carries the reason.
    child_failure failure = {stage_setup, ECHILD};
    ssize_t got;
    while ((got = read(failure_pipe[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    close(failure_pipe[0]);
    if (got != 0 || !stopped) {
        if (stopped || !(WIFEXITED(status) || WIFSIGNALED(status))) reap_failed_child(pid);
        last_error = got == static_cast<ssize_t>(sizeof failure) ? failure_code(failure)
                                                                 : ERROR_GEN_FAILURE;
        return FALSE;
    }
    // Wait for the exec stop; signals that arrive meanwhile pass through.
    for (;;) {
        pid_t done = waitpid(pid, &status, __WALL);
        if (done < 0) {
            if (errno == EINTR) continue;
            last_error = ERROR_GEN_FAILURE;
            return FALSE;
        }
        if (WIFSTOPPED(status) && (status >> 16) == PTRACE_EVENT_EXEC) break;
        if (WIFSTOPPED(status)) {
            int pass = (status >> 16) == 0 ? WSTOPSIG(status) : 0;
            ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(pass)));
            continue;
        }
        last_error = ERROR_GEN_FAILURE;
        return FALSE;
    }

    platform_object* process = new_process_object(pid, creation_time);
    if (process->has_cpu_clock) process->start_cpu_100ns = cpu_clock_100ns(process->cpu_clock);
    platform_object* thread = new_thread_object(pid);
    // Held at its exec stop until its creation event is continued.
    register_process(state, process, thread, false);
    process_information->hProcess = retain(process);
    process_information->hThread = retain(thread);
    process_information->dwProcessId = static_cast<DWORD>(pid);
    process_information->dwThreadId = static_cast<DWORD>(pid);
    last_error = ERROR_SUCCESS;
    return TRUE;
}

// ---------------------------------------------------------------------------
// Threads of the caller

void* thread_main(void* argument) {
    platform_object* thread = static_cast<platform_object*>(argument);
    thread->start(thread->parameter);
    mark_ended(thread);
    release(thread);
    return nullptr;
}

int heap_marker;

}  // namespace

// ---------------------------------------------------------------------------
// The services

BOOL CreateProcessA(LPCSTR application_name, LPSTR command_line, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL inherit_handles, DWORD creation_flags,
                    LPVOID environment, LPCSTR current_directory, LPSTARTUPINFOA startup_info,
                    LPPROCESS_INFORMATION process_information) {
    if (application_name != nullptr || environment != nullptr) {
        last_error = ERROR_NOT_SUPPORTED;
        return FALSE;
    }
    return create_process(nullptr, command_line, inherit_handles, creation_flags,
                          current_directory, startup_info, process_information);
}

BOOL CreateProcessAsUserA(HANDLE token, LPCSTR application_name, LPSTR command_line,
                          LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL inherit_handles,
                          DWORD creation_flags, LPVOID environment, LPCSTR current_directory,
                          LPSTARTUPINFOA startup_info,
                          LPPROCESS_INFORMATION process_information) {
    platform_object* object = object_of(token);
    if (object == nullptr || object->kind != kind_token) {
        last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (application_name != nullptr || environment != nullptr) {
        last_error = ERROR_NOT_SUPPORTED;
        return FALSE;
    }
    return create_process(object, command_line, inherit_handles, creation_flags,
                          current_directory, startup_info, process_information);
}

BOOL LogonUserA(LPCSTR user, LPCSTR domain, LPCSTR, DWORD, DWORD, PHANDLE token) {
    if (user == nullptr || token == nullptr) {
        last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (domain != nullptr && domain[0] != '\0' && strcmp(domain, ".") != 0) {
        last_error = ERROR_NO_SUCH_DOMAIN;
        return FALSE;
    }
    passwd entry;
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (user[0] == '\0' || getpwnam_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        last_error = ERROR_NO_SUCH_USER;
        return FALSE;
    }
    if (geteuid() != 0 && found->pw_uid != geteuid()) {
        last_error = ERROR_PRIVILEGE_NOT_HELD;
        return FALSE;
    }
    platform_object* object = new platform_object;
    object->kind = kind_token;
    object->uid = found->pw_uid;
    object->gid = found->pw_gid;
    int count = 32;
    object->groups.resize(count);
    while (getgrouplist(found->pw_name, found->pw_gid, object->groups.data(), &count) < 0)
        object->groups.resize(count);
    object->groups.resize(count);
    *token = object;
    last_error = ERROR_SUCCESS;
    return TRUE;
}

BOOL WaitForDebugEvent(LPDEBUG_EVENT event, DWORD milliseconds) {
    debugger_state* state = debugger();
    // One waitpid report can yield no event (a stop handled inside) or several.
    if (!wait_for_event(state, milliseconds)) {
        last_error = 121;  // ERROR_SEM_TIMEOUT
        return FALSE;
    }
    queued_event entry = state->queue.front();
    state->queue.pop_front();
    if (entry.event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
        std::lock_guard<std::mutex> lock(entry.process->mutex);
        entry.event.u.ExitProcess.dwExitCode = exit_code_of(entry.process);
    }
    *event = entry.event;
    state->current = entry;
    state->has_current = true;
    return TRUE;
}

BOOL ContinueDebugEvent(DWORD process_id, DWORD thread_id, DWORD continue_status) {
    debugger_state* state = debugger();
    if (!state->has_current || state->current.event.dwProcessId != process_id ||
        state->current.event.dwThreadId != thread_id) {
        last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    queued_event& entry = state->current;
    state->has_current = false;
    switch (entry.action) {
    case action_resume: {
        auto known = state->threads.find(entry.tid);
        if (known != state->threads.end() && known->second.initial_stop_pending)
            known->second.resume_at_initial_stop = true;
        else
            ptrace(PTRACE_CONT, entry.tid, nullptr, nullptr);
        break;
    }
    case action_exception:
        if (continue_status == DBG_EXCEPTION_NOT_HANDLED) {
            entry.process->handed_signal = entry.signal_number;
            entry.process->handed_code = entry.event.u.Exception.ExceptionRecord.ExceptionCode;
            ptrace(PTRACE_CONT, entry.tid, nullptr,
                   reinterpret_cast<void*>(static_cast<intptr_t>(entry.signal_number)));
        } else {
            ptrace(PTRACE_CONT, entry.tid, nullptr, nullptr);
        }
        break;
    case action_release:
        release(entry.process);
        break;
    case action_none:
        break;
    }
    return TRUE;
}

BOOL TerminateProcess(HANDLE handle, UINT exit_code) {
    platform_object* process = object_of(handle);
    if (process == nullptr || process->kind != kind_process) {
        last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(process->mutex);
    if (!process->ended) {
        process->terminate_requested = true;
        process->terminate_code = exit_code;
        kill(process->id, SIGKILL);
    } else if (WIFSIGNALED(process->wait_status) && !process->exit_code_overridden) {
        // Dead of a signal but not yet reported: the kill wins, as it would
        // have on a process still held at its second-chance exception.
        process->exit_code_overridden = true;
        process->exit_code_override = exit_code;
    }
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE handle, LPDWORD exit_code) {
    platform_object* process = object_of(handle);
    if (process == nullptr || process->kind != kind_process || exit_code == nullptr) {
        last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(process->mutex);
    *exit_code = process->ended ? exit_code_of(process) : STILL_ACTIVE;
    return TRUE;
}

BOOL GetProcessTimes(HANDLE handle, LPFILETIME creation_time, LPFILETIME exit_time,
                     LPFILETIME kernel_time, LPFILETIME user_time) {
    platform_object* process = object_of(handle);
    if (process == nullptr || process->kind != kind_process) {
        last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(process->mutex);
    if (!process->ended && process->has_cpu_clock) {
        uint64_t used = cpu_clock_100ns(process->cpu_clock);
        process->cpu_100ns = std::max(process->cpu_100ns, after_start(process, used));
    }
    store_filetime(process->creation_time, creation_time);
    store_filetime(process->exit_time, exit_time);
    store_filetime(process->kernel_100ns, kernel_time);
    store_filetime(process->cpu_100ns - process->kernel_100ns, user_time);
    return TRUE;
}

void GetSystemTime(LPSYSTEMTIME system_time) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts;
    gmtime_r(&now.tv_sec, &parts);
    system_time->wYear = static_cast<WORD>(parts.tm_year + 1900);
    system_time->wMonth = static_cast<WORD>(parts.tm_mon + 1);
    system_time->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    system_time->wDay = static_cast<WORD>(parts.tm_mday);
    system_time->wHour = static_cast<WORD>(parts.tm_hour);
    system_time->wMinute = static_cast<WORD>(parts.tm_min);
    system_time->wSecond = static_cast<WORD>(parts.tm_sec);
    system_time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* system_time, LPFILETIME file_time) {
    if (system_time == nullptr || file_time == nullptr) {
        last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    tm parts;
    memset(&parts, 0, sizeof parts);
    parts.tm_year = system_time->wYear - 1900;
    parts.tm_mon = system_time->wMonth - 1;
    parts.tm_mday = system_time->wDay;
    parts.tm_hour = system_time->wHour;
    parts.tm_min = system_time->wMinute;
    parts.tm_sec = system_time->wSecond;
    time_t seconds = timegm(&parts);
    uint64_t value = unix_epoch_in_filetime + static_cast<uint64_t>(seconds) * 10000000ull +
                     static_cast<uint64_t>(system_time->wMilliseconds) * 10000ull;
    store_filetime(value, file_time);
    return TRUE;
}

BOOL GetProcessMemoryInfo(HANDLE handle, PPROCESS_MEMORY_COUNTERS counters, DWORD cb) {
    platform_object* process = object_of(handle);
    if (process == nullptr || process->kind != kind_process || counters == nullptr ||
        cb < sizeof(PROCESS_MEMORY_COUNTERS)) {
        last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(process->mutex);
    if (!process->ended) refresh_memory(process);
    memset(counters, 0, sizeof *counters);
    counters->cb = sizeof *counters;
    counters->WorkingSetSize = process->working_set;
    counters->PeakWorkingSetSize = process->peak_working_set;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    platform_object* object = object_of(handle);
    if (object == nullptr || (object->kind != kind_process && object->kind != kind_thread)) {
        last_error = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> lock(object->mutex);
    if (milliseconds == INFINITE) {
        object->ended_changed.wait(lock, [object] { return object->ended; });
        return WAIT_OBJECT_0;
    }
    bool ended = object->ended_changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                                [object] { return object->ended; });
    return ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE handle) {
    if (handle == &heap_marker) return TRUE;
    platform_object* object = object_of(handle);
    if (object == nullptr) {
        last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    release(object);
    return TRUE;
}

DWORD GetLastError(void) { return last_error; }

void SetLastError(DWORD error) { last_error = error; }

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD message_id, DWORD, LPSTR buffer, DWORD size,
                     va_list* arguments) {
    const char* text = (flags & FORMAT_MESSAGE_FROM_SYSTEM) != 0 ? message_text(message_id) : nullptr;
    if (text == nullptr || buffer == nullptr) {
        last_error = 317;  // ERROR_MR_MID_NOT_FOUND
        return 0;
    }
    bool inserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) == 0 && arguments != nullptr;
    std::string formatted;
    for (const char* p = text; *p != '\0'; ++p) {
        if (inserts && p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
            int index = p[1] - '0';
            va_list walk;
            va_copy(walk, *arguments);
            const char* insert = nullptr;
            for (int i = 0; i < index; ++i) insert = va_arg(walk, const char*);
            va_end(walk);
            formatted += insert != nullptr ? insert : "";
            ++p;
            continue;
        }
        formatted.push_back(*p);
    }
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        char* copy = static_cast<char*>(malloc(formatted.size() + 1));
        if (copy == nullptr) {
            last_error = ERROR_NOT_ENOUGH_MEMORY;
            return 0;
        }
        memcpy(copy, formatted.c_str(), formatted.size() + 1);
        *reinterpret_cast<char**>(buffer) = copy;
        return static_cast<DWORD>(formatted.size());
    }
    if (formatted.size() + 1 > size) {
        last_error = 122;  // ERROR_INSUFFICIENT_BUFFER
        return 0;
    }
    memcpy(buffer, formatted.c_str(), formatted.size() + 1);
    return static_cast<DWORD>(formatted.size());
}

HLOCAL LocalFree(HLOCAL memory) {
    free(memory);
    return nullptr;
}

HANDLE CreateFileA(LPCSTR file_name, DWORD desired_access, DWORD,
                   LPSECURITY_ATTRIBUTES security_attributes, DWORD creation_disposition, DWORD,
                   HANDLE) {
    if (file_name == nullptr) {
        last_error = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    const char* path = strcasecmp(file_name, "nul") == 0 ? "/dev/null" : file_name;
    bool readable = (desired_access & GENERIC_READ) != 0;
    bool writable = (desired_access & GENERIC_WRITE) != 0;
    int mode = readable && writable ? O_RDWR : writable ? O_WRONLY : O_RDONLY;
    if (creation_disposition == OPEN_ALWAYS) mode |= O_CREAT;
    bool inherit = security_attributes != nullptr && security_attributes->bInheritHandle;
    if (!inherit) mode |= O_CLOEXEC;
    int fd = open(path, mode, 0666);
    if (fd < 0) {
        last_error = error_from_errno(errno);
        return INVALID_HANDLE_VALUE;
    }
    return new_file(fd);
}

BOOL CreatePipe(PHANDLE read_pipe, PHANDLE write_pipe, LPSECURITY_ATTRIBUTES pipe_attributes,
                DWORD) {
    bool inherit = pipe_attributes != nullptr && pipe_attributes->bInheritHandle;
    int fds[2];
    if (pipe2(fds, inherit ? 0 : O_CLOEXEC) != 0) {
        last_error = error_from_errno(errno);
        return FALSE;
    }
    *read_pipe = new_file(fds[0]);
    *write_pipe = new_file(fds[1]);
    return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stack_size, LPTHREAD_START_ROUTINE start_address,
                    LPVOID parameter, DWORD, LPDWORD thread_id) {
    static std::atomic<DWORD> next_id{1};
    platform_object* thread = new platform_object;
    thread->kind = kind_thread;
    thread->start = start_address;
    thread->parameter = parameter;
    thread->references.store(2);  // the handle and the running thread
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stack_size != 0) pthread_attr_setstacksize(&attributes, stack_size);
    pthread_t handle;
    int error = pthread_create(&handle, &attributes, thread_main, thread);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete thread;
        last_error = error_from_errno(error);
        return nullptr;
    }
    if (thread_id != nullptr) *thread_id = next_id.fetch_add(1);
    return thread;
}

void Sleep(DWORD milliseconds) {
    timespec pause = {static_cast<time_t>(milliseconds / 1000),
                      static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

HANDLE GetProcessHeap(void) { return &heap_marker; }

LPVOID HeapAlloc(HANDLE, DWORD flags, SIZE_T bytes) {
    if (bytes == 0) bytes = 1;
    return (flags & HEAP_ZERO_MEMORY) != 0 ? calloc(1, bytes) : malloc(bytes);
}

BOOL HeapFree(HANDLE, DWORD, LPVOID memory) {
    free(memory);
    return TRUE;
}

void RaiseException(DWORD code, DWORD, DWORD, const ULONG_PTR*) {
    int signal_number = signal_of_exception(code);
    rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    struct sigaction default_action;
    memset(&default_action, 0, sizeof default_action);
    default_action.sa_handler = SIG_DFL;
    sigaction(signal_number, &default_action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal_number);
}
