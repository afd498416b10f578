// The poll's checks on exact values, and the Linux layer's pure pieces and
// services that the engine and the driver rely on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "engine_internal.h"
#include "platform.h"
#include "platform_linux_internal.h"

namespace {

struct sample {
    uint32_t cpu, wall, peak;
};

struct poll_case {
    const char* name;
    invoke_limits limits;
    std::vector<sample> samples;  // one per poll
    int32_t outcome;
    bool stop;
    uint32_t idle_time;
    double utilization;
};

invoke_limits limits_of(uint32_t time, uint32_t memory, uint32_t idleness, double required) {
    invoke_limits limits{};
    limits.time_limit = time;
    limits.memory_limit = memory;
    limits.idleness_limit = idleness;
    limits.required_utilization = required;
    return limits;
}

}  // namespace

TEST(poll_checks, limits_fire_only_when_strictly_exceeded_and_the_last_recording_stands) {
    const poll_case cases[] = {
        {"time equal to the limit", limits_of(1000, 0, 0, 0), {{1000, 1000, 0}}, INVOKE_OK, false, 0, 1.0},
        {"time one above", limits_of(1000, 0, 0, 0), {{1001, 1001, 0}}, INVOKE_TIME_LIMIT, true, 0, 1.0},
        {"memory equal", limits_of(0, 4096, 0, 0), {{10, 10, 4096}}, INVOKE_OK, false, 0, 1.0},
        {"memory one above", limits_of(0, 4096, 0, 0), {{10, 10, 4097}}, INVOKE_MEMORY_LIMIT, true, 0, 1.0},
        {"zero limits never fire", limits_of(0, 0, 0, 0.05), {{4000000000u, 100, 4000000000u}}, INVOKE_OK,
         false, 0, 40000000.0},
        {"idle stretch equal to the limit", limits_of(0, 0, 300, 0.05),
         {{0, 100, 0}, {0, 200, 0}, {0, 300, 0}}, INVOKE_OK, false, 300, 0.0},
        {"idle stretch one above", limits_of(0, 0, 300, 0.05), {{0, 100, 0}, {0, 301, 0}},
         INVOKE_IDLENESS_LIMIT, true, 301, 0.0},
        {"utilization equal to the requirement is not idle", limits_of(0, 0, 100, 0.5),
         {{0, 100, 0}, {50, 200, 0}}, INVOKE_OK, false, 0, 0.5},
        {"a busy poll restarts the stretch", limits_of(0, 0, 250, 0.05),
         {{0, 100, 0}, {0, 200, 0}, {90, 300, 0}, {90, 400, 0}, {90, 500, 0}}, INVOKE_OK, false, 200, 0.0},
        {"unchanged wall time keeps utilization and stretch", limits_of(0, 0, 0, 0.05),
         {{0, 100, 0}, {0, 100, 0}}, INVOKE_OK, false, 100, 0.0},
        {"required utilization 0 is never idle", limits_of(0, 0, 1, 0),
         {{0, 100, 0}, {0, 5000, 0}}, INVOKE_OK, false, 0, 0.0},
        {"memory wins over time in one poll", limits_of(10, 10, 0, 0), {{11, 11, 11}}, INVOKE_MEMORY_LIMIT,
         true, 0, 1.0},
        {"time wins over idleness in one poll", limits_of(10, 0, 5, 0.9), {{11, 100, 0}},
         INVOKE_TIME_LIMIT, true, 100, 0.11},
        {"several threads give utilization above 1", limits_of(0, 0, 0, 0.05), {{200, 100, 0}}, INVOKE_OK,
         false, 0, 2.0},
        {"differences wrap around 2^32", limits_of(0, 0, 0, 0.05), {{4294967290u, 4294967290u, 0}, {4, 4, 0}},
         INVOKE_OK, false, 0, 1.0},
    };
    for (const poll_case& test : cases) {
        SCOPED_TRACE(test.name);
        invoke_status status{};
        status.state = INVOKE_STATE_RUNNING;
        status.utilization = 1.0;
        invoke_result result{};
        result.outcome = INVOKE_OK;
        bool stop = false;
        for (const sample& next : test.samples) {
            uint32_t previous_cpu = status.cpu_time, previous_wall = status.wall_time;
            status.cpu_time = next.cpu;
            status.wall_time = next.wall;
            status.peak_memory = next.peak;
            apply_poll_checks(&status, previous_cpu, previous_wall, &test.limits, &result, &stop);
        }
        EXPECT_EQ(result.outcome, test.outcome);
        EXPECT_EQ(stop, test.stop);
        EXPECT_EQ(status.idle_time, test.idle_time);
        EXPECT_DOUBLE_EQ(status.utilization, test.utilization);
    }
}

TEST(poll_checks, a_crash_recorded_earlier_is_overwritten_by_a_later_limit) {
    invoke_limits limits = limits_of(100, 0, 0, 0);
    invoke_status status{};
    status.utilization = 1.0;
    invoke_result result{};
    result.outcome = INVOKE_CRASH;
    bool stop = true;
    status.cpu_time = 101;
    status.wall_time = 101;
    apply_poll_checks(&status, 0, 0, &limits, &result, &stop);
    EXPECT_EQ(result.outcome, INVOKE_TIME_LIMIT);
}

TEST(linux_layer, command_line_splits_like_the_c_runtime) {
    struct split_case {
        const char* line;
        std::vector<std::string> arguments;
    };
    const split_case cases[] = {
        {"./interactor tests/01 answers/01", {"./interactor", "tests/01", "answers/01"}},
        {"\"./my jury\" a \"b c\"", {"./my jury", "a", "b c"}},
        {"  lead\t and   trail  ", {"lead", "and", "trail"}},
        {"a\\\\b c\\d", {"a\\\\b", "c\\d"}},
        {"\"a\\\"b\"", {"a\"b"}},
        {"a\\\\\\\"b", {"a\\\"b"}},
        {"a\\\\\"b c\"", {"a\\b c"}},
        {"\"\" x", {"", "x"}},
        {"ab\"c d\"ef", {"abc def"}},
        {"\"un terminated", {"un terminated"}},
        {"\"a\"\"b\"", {"a\"b"}},
        {"", {}},
        {"   ", {}},
    };
    for (const split_case& test : cases)
        EXPECT_EQ(linux_layer::split_command_line(test.line), test.arguments) << test.line;
}

TEST(linux_layer, system_error_text_fills_inserts_and_keeps_one_line) {
    char* missing = system_error_text(ERROR_FILE_NOT_FOUND, "prog arg");
    EXPECT_STREQ(missing, "Cannot run \"prog arg\": the system cannot find the file specified.");
    char* logon = system_error_text(ERROR_NO_SUCH_USER);
    EXPECT_STREQ(logon, "The specified account does not exist.");
    // A code without a text still gives a text.
    char* unknown = system_error_text(0x1234567u);
    EXPECT_NE(std::string(unknown).find("19088743"), std::string::npos) << unknown;
}

TEST(linux_layer, errno_values_map_to_windows_codes) {
    struct mapping {
        int error;
        DWORD code;
    };
    const mapping cases[] = {
        {ENOENT, ERROR_FILE_NOT_FOUND}, {EACCES, ERROR_ACCESS_DENIED},
        {ENOEXEC, ERROR_BAD_EXE_FORMAT}, {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
        {ENOTDIR, ERROR_PATH_NOT_FOUND}, {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    };
    for (const mapping& test : cases) EXPECT_EQ(linux_layer::error_from_errno(test.error), test.code);
}

TEST(linux_layer, raised_exception_ends_the_process_by_its_signal) {
    struct raise_case {
        DWORD code;
        int signal_number;
    };
    const raise_case cases[] = {
        {0xC0000005u, SIGSEGV}, {0xC00000FDu, SIGSEGV}, {0xC0000094u, SIGFPE},
        {0xC000008Eu, SIGFPE},  {0xC000001Du, SIGILL},  {0x80000003u, SIGTRAP},
        {0xC0000409u, SIGABRT}, {0xE06D7363u, SIGABRT}, {1u, SIGABRT},
    };
    for (const raise_case& test : cases) {
        pid_t child = fork();
        if (child == 0) {
            // Even a handler that would swallow the signal must not stop it.
            signal(test.signal_number, SIG_IGN);
            RaiseException(test.code, 0, 0, nullptr);
            _exit(42);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << std::hex << test.code;
        EXPECT_EQ(WTERMSIG(status), test.signal_number) << std::hex << test.code;
        EXPECT_FALSE(WCOREDUMP(status)) << "no core file";
    }
}

namespace {

std::atomic<int> thread_runs{0};

DWORD WINAPI slow_thread(LPVOID parameter) {
    Sleep(*static_cast<DWORD*>(parameter));
    ++thread_runs;
    return 0;
}

}  // namespace

TEST(linux_layer, thread_handle_is_signalled_at_its_end) {
    DWORD pause = 300;
    HANDLE thread = CreateThread(nullptr, 0, slow_thread, &pause, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 50), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(thread_runs.load(), 1);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(linux_layer, heap_blocks_come_zero_filled_and_last_error_is_per_thread) {
    unsigned char* block = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 4096));
    ASSERT_NE(block, nullptr);
    bool zero = true;
    for (int i = 0; i < 4096; ++i) zero = zero && block[i] == 0;
    EXPECT_TRUE(zero);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));

    SetLastError(77);
    DWORD seen_elsewhere = 1;
    HANDLE other = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            *static_cast<DWORD*>(parameter) = GetLastError();
            SetLastError(99);
            return 0;
        },
        &seen_elsewhere, 0, nullptr);
    WaitForSingleObject(other, INFINITE);
    CloseHandle(other);
    EXPECT_EQ(seen_elsewhere, 0u);
    EXPECT_EQ(GetLastError(), 77u);
}

TEST(linux_layer, wait_for_debug_event_times_out_without_processes) {
    DEBUG_EVENT event;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitForDebugEvent(&event, 150));
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
    EXPECT_GE(waited, 140);
    EXPECT_LT(waited, 2000);
}

namespace {

struct event_log {
    int creates = 0, threads_created = 0, threads_exited = 0, exits = 0, exceptions = 0;
    DWORD exit_code = 0;
    bool order_ok = true;  // nothing before the creation, nothing after the exit
};

// Runs a command as a debugged process and answers its events until the end.
event_log debug_to_the_end(const std::string& command, PROCESS_INFORMATION* process) {
    std::string line = command;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    event_log log;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, DEBUG_PROCESS | CREATE_NEW_CONSOLE,
                        nullptr, nullptr, &startup, process)) {
        log.order_ok = false;
        return log;
    }
    for (int polls = 0; polls < 200 && log.exits == 0; ++polls) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, 100)) continue;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT: ++log.creates; break;
        case CREATE_THREAD_DEBUG_EVENT: ++log.threads_created; break;
        case EXIT_THREAD_DEBUG_EVENT: ++log.threads_exited; break;
        case EXCEPTION_DEBUG_EVENT: ++log.exceptions; break;
        case EXIT_PROCESS_DEBUG_EVENT:
            ++log.exits;
            log.exit_code = event.u.ExitProcess.dwExitCode;
            break;
        }
        if (log.creates == 0) log.order_ok = false;
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
    }
    DEBUG_EVENT late;
    if (WaitForDebugEvent(&late, 200)) log.order_ok = false;
    return log;
}

char process_state(DWORD pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%u/stat", static_cast<unsigned>(pid));
    FILE* file = fopen(path, "r");
    if (file == nullptr) return '?';
    char line[512];
    size_t length = fread(line, 1, sizeof line - 1, file);
    fclose(file);
    line[length] = '\0';
    const char* after_name = strrchr(line, ')');
    return after_name != nullptr ? after_name[2] : '?';
}

}  // namespace

TEST(linux_layer, debug_events_follow_threads_and_the_process_to_its_end) {
    PROCESS_INFORMATION process{};
    event_log log = debug_to_the_end(std::string("\"") + ENGINE_FIXTURE + "\" threads", &process);
    EXPECT_TRUE(log.order_ok);
    EXPECT_EQ(log.creates, 1);
    EXPECT_EQ(log.threads_created, 4);
    EXPECT_EQ(log.threads_exited, 4);
    EXPECT_EQ(log.exits, 1);
    EXPECT_EQ(log.exit_code, 3u);
    DWORD code = 0;
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 1000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeProcess(process.hProcess, &code));
    EXPECT_EQ(code, 3u);
    // The figures stay readable after the end.
    FILETIME creation, exit, kernel, user;
    ASSERT_TRUE(GetProcessTimes(process.hProcess, &creation, &exit, &kernel, &user));
    uint64_t cpu = (static_cast<uint64_t>(user.dwHighDateTime) << 32 | user.dwLowDateTime) +
                   (static_cast<uint64_t>(kernel.dwHighDateTime) << 32 | kernel.dwLowDateTime);
    EXPECT_GE(cpu, 4000000u) << "four threads of 100 ms";
    PROCESS_MEMORY_COUNTERS counters{};
    ASSERT_TRUE(GetProcessMemoryInfo(process.hProcess, &counters, sizeof counters));
    EXPECT_GT(counters.PeakWorkingSetSize, 0u);
    EXPECT_EQ(counters.WorkingSetSize, 0u);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

TEST(linux_layer, created_process_is_held_until_its_event_is_continued) {
    std::string line = std::string("\"") + ENGINE_FIXTURE + "\" exit 9";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, DEBUG_PROCESS | CREATE_NEW_CONSOLE,
                               nullptr, nullptr, &startup, &process));
    DEBUG_EVENT event;
    ASSERT_TRUE(WaitForDebugEvent(&event, 1000));
    EXPECT_EQ(event.dwDebugEventCode, CREATE_PROCESS_DEBUG_EVENT);
    EXPECT_EQ(event.dwProcessId, process.dwProcessId);
    EXPECT_EQ(event.u.CreateProcessInfo.hFile, nullptr);
    usleep(200000);
    EXPECT_EQ(process_state(process.dwProcessId), 't') << "held at its creation";
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(process.hProcess, &code));
    EXPECT_EQ(code, STILL_ACTIVE);

    // Ended by the debugger: the exit code is the one given.
    EXPECT_TRUE(TerminateProcess(event.u.CreateProcessInfo.hProcess, 77));
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
    bool exited = false;
    for (int polls = 0; polls < 50 && !exited; ++polls) {
        if (!WaitForDebugEvent(&event, 100)) continue;
        if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
            exited = true;
            EXPECT_EQ(event.u.ExitProcess.dwExitCode, 77u);
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
    }
    EXPECT_TRUE(exited);
    EXPECT_TRUE(GetExitCodeProcess(process.hProcess, &code));
    EXPECT_EQ(code, 77u);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

TEST(linux_layer, death_by_an_uncounted_signal_reports_128_plus_the_signal) {
    PROCESS_INFORMATION process{};
    for (int signal_number : {SIGTERM, SIGPIPE, SIGKILL}) {
        std::string command = std::string("\"") + ENGINE_FIXTURE + "\" raise " + std::to_string(signal_number);
        event_log log = debug_to_the_end(command, &process);
        EXPECT_EQ(log.exceptions, 0);
        EXPECT_EQ(log.exits, 1);
        EXPECT_EQ(log.exit_code, 128u + signal_number);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}
