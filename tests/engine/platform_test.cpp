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
