// invoke on real programs: how runs end, limits, children, the callback.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "engine_test_support.h"

namespace {

using clock_type = std::chrono::steady_clock;

long elapsed_ms(clock_type::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - since).count());
}

std::string temp_path(const char* name) {
    std::string path = std::string("/tmp/pairex_engine_") + name + "_" + std::to_string(getpid());
    unlink(path.c_str());
    return path;
}

std::vector<pid_t> read_pids(const std::string& path) {
    std::vector<pid_t> pids;
    std::ifstream file(path);
    int pid;
    while (file >> pid) pids.push_back(pid);
    return pids;
}

// Every live process of the given process group.
std::vector<pid_t> group_members(pid_t process_group) {
    std::vector<pid_t> members;
    DIR* proc = opendir("/proc");
    while (dirent* entry = readdir(proc)) {
        int pid = atoi(entry->d_name);
        if (pid <= 0) continue;
        char path[64];
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
        FILE* file = fopen(path, "r");
        if (file == nullptr) continue;
        char line[1024];
        size_t length = fread(line, 1, sizeof line - 1, file);
        fclose(file);
        line[length] = '\0';
        const char* after_name = strrchr(line, ')');
        if (after_name == nullptr) continue;
        char state;
        int parent, group, sid;
        if (sscanf(after_name + 2, "%c %d %d %d", &state, &parent, &group, &sid) == 4 &&
            group == process_group && state != 'Z')
            members.push_back(pid);
    }
    closedir(proc);
    return members;
}

}  // namespace

TEST(invoke_run, program_that_exits_reports_its_code_and_measurements) {
    for (unsigned code : {0u, 3u, 255u}) {
        invoke_result result = marked_result();
        invoke_limits limits = no_limits();
        std::string command = fixture("exit " + std::to_string(code));
        invoke(command.c_str(), nullptr, &limits, &result, nullptr);
        EXPECT_EQ(result.outcome, INVOKE_OK) << code;
        EXPECT_EQ(result.terminated, 0) << code;
        EXPECT_EQ(result.exit_code, code);
        EXPECT_EQ(result.exception_code, 0xFEEDFACEu) << "written without a crash";
        EXPECT_EQ(result.message, nullptr);
        EXPECT_LT(result.cpu_time, 1000u);
        EXPECT_LT(result.wall_time, 10000u);
        EXPECT_GT(result.peak_memory, 100u * 1024) << "a process that ran has a peak";
    }
}

TEST(invoke_run, measures_cpu_time_of_all_threads_to_the_millisecond) {
    invoke_result burn = run(fixture("burn 300"), no_limits());
    EXPECT_EQ(burn.outcome, INVOKE_OK);
    EXPECT_GE(burn.cpu_time, 300u);
    EXPECT_LT(burn.cpu_time, 400u);

    // Four threads of 100 ms each.
    invoke_result threads = run(fixture("threads"), no_limits());
    EXPECT_EQ(threads.outcome, INVOKE_OK);
    EXPECT_EQ(threads.exit_code, 3u);
    EXPECT_GE(threads.cpu_time, 400u);
}

TEST(invoke_run, peak_memory_follows_what_the_program_touched) {
    // Both programs take their memory within one poll and are gone before
    // the next: the peak must come from their very end.
    struct ending {
        const char* arguments;
        uint32_t exit_code;
    };
    for (const ending& end : {ending{"allocate 100", 0u}, ending{"allocate 100 0 kill", 137u}}) {
        invoke_result result = run(fixture(end.arguments), no_limits());
        EXPECT_EQ(result.outcome, INVOKE_OK) << end.arguments;
        EXPECT_EQ(result.exit_code, end.exit_code) << end.arguments;
        EXPECT_GE(result.peak_memory, 100u << 20) << end.arguments;
        EXPECT_LT(result.peak_memory, 200u << 20) << end.arguments;
    }
}

TEST(invoke_run, a_large_caller_lends_the_program_neither_memory_nor_time) {
    // The program is started by a copy of the caller: what that copy held and
    // spent before the program began must not count as the program's.
    const size_t caller_size = 512u << 20;
    char* ballast = static_cast<char*>(malloc(caller_size));
    ASSERT_NE(ballast, nullptr);
    memset(ballast, 0x5A, caller_size);
    invoke_result small = run(fixture("exit 0"), no_limits());
    invoke_result grown = run(fixture("allocate 100"), no_limits());
    free(ballast);

    EXPECT_EQ(small.outcome, INVOKE_OK);
    EXPECT_LT(small.peak_memory, 32u << 20);
    EXPECT_LT(small.cpu_time, 5u) << "a copy of 512 MiB takes longer than that to tear down";
    EXPECT_EQ(grown.outcome, INVOKE_OK);
    EXPECT_GE(grown.peak_memory, 100u << 20);
    EXPECT_LT(grown.peak_memory, 200u << 20);
}

struct crash_case {
    const char* mode;
    uint32_t code;
};

TEST(invoke_crash, each_fault_is_a_crash_with_its_windows_code) {
    const crash_case cases[] = {
        {"null_write", 0xC0000005u},     {"stack_overflow", 0xC00000FDu},
        {"divide_by_zero", 0xC0000094u}, {"abort", 0xC0000409u},
        {"illegal", 0xC000001Du},
    };
    for (const crash_case& test : cases) {
        for (uint32_t flags : {0u, INVOKE_IGNORE_FIRST_CHANCE}) {
            invoke_limits limits = no_limits();
            limits.flags = flags;
            invoke_result result = run(fixture(test.mode), limits);
            SCOPED_TRACE(std::string(test.mode) + (flags ? " ignoring first chance" : ""));
            EXPECT_EQ(result.outcome, INVOKE_CRASH);
            EXPECT_EQ(result.exception_code, test.code);
            EXPECT_EQ(result.terminated, 1);
            EXPECT_EQ(result.exit_code, 0u);
            EXPECT_EQ(result.message, nullptr);
        }
    }
}

TEST(invoke_crash, breakpoint_records_nothing_and_the_program_goes_on) {
    invoke_result result = marked_result();
    invoke_limits limits = no_limits();
    std::string command = fixture("breakpoint");
    invoke(command.c_str(), nullptr, &limits, &result, nullptr);
    EXPECT_EQ(result.outcome, INVOKE_OK);
    EXPECT_EQ(result.exit_code, 7u);
    EXPECT_EQ(result.exception_code, 0xFEEDFACEu);
    EXPECT_EQ(result.terminated, 0);
}

TEST(invoke_crash, first_chance_is_left_to_the_program_only_when_asked) {
    invoke_limits limits = no_limits();
    limits.flags = INVOKE_IGNORE_FIRST_CHANCE;
    invoke_result survived = run(fixture("handled_segv"), limits);
    EXPECT_EQ(survived.outcome, INVOKE_OK);
    EXPECT_EQ(survived.exit_code, 0u) << "its own handler ran and exited with 0";
    EXPECT_EQ(survived.terminated, 0);

    limits.flags = 0;
    invoke_result crashed = run(fixture("handled_segv"), limits);
    EXPECT_EQ(crashed.outcome, INVOKE_CRASH);
    EXPECT_EQ(crashed.exception_code, 0xC0000005u);
    EXPECT_EQ(crashed.terminated, 1);
}

TEST(invoke_limits_test, time_limit_stops_a_busy_loop_soon_after_the_limit) {
    invoke_limits limits = no_limits();
    limits.time_limit = 500;
    auto start = clock_type::now();
    invoke_result result = run(fixture("spin"), limits);
    EXPECT_EQ(result.outcome, INVOKE_TIME_LIMIT);
    EXPECT_EQ(result.terminated, 1);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_GT(result.cpu_time, 500u);
    EXPECT_LT(result.cpu_time, 1500u);
    EXPECT_LT(elapsed_ms(start), 5000);
}

TEST(invoke_limits_test, memory_limit_uses_the_peak_working_set) {
    invoke_limits limits = no_limits();
    limits.memory_limit = 64u << 20;
    invoke_result result = run(fixture("allocate 200 5000"), limits);
    EXPECT_EQ(result.outcome, INVOKE_MEMORY_LIMIT);
    EXPECT_EQ(result.terminated, 1);
    EXPECT_GT(result.peak_memory, 64u << 20);

    // The same program under a limit it stays below.
    limits.memory_limit = 400u << 20;
    invoke_result below = run(fixture("allocate 200"), limits);
    EXPECT_EQ(below.outcome, INVOKE_OK);
}

TEST(invoke_limits_test, memory_limit_wins_when_time_is_exceeded_in_the_same_poll) {
    // The last poll sees the final figures, so a program that ends over both
    // limits must show the memory limit. Taking 200 MiB costs far more than
    // 1 ms of CPU, so the program ends over both, unless a poll catches it
    // over the time limit before it has 16 MiB: that run must show the time
    // limit, and the run is tried again.
    invoke_limits limits = no_limits();
    limits.time_limit = 1;
    limits.memory_limit = 16u << 20;
    bool ended_over_both = false;
    for (int attempt = 0; attempt < 5 && !ended_over_both; ++attempt) {
        invoke_result result = run(fixture("allocate 200 5000"), limits);
        bool over_memory = result.peak_memory > limits.memory_limit;
        ended_over_both = over_memory && result.cpu_time > limits.time_limit;
        EXPECT_EQ(result.outcome, over_memory ? INVOKE_MEMORY_LIMIT : INVOKE_TIME_LIMIT)
            << "cpu " << result.cpu_time << " ms, peak " << result.peak_memory;
        EXPECT_EQ(result.terminated, 1);
    }
    EXPECT_TRUE(ended_over_both) << "no run ended over both limits";
}

TEST(invoke_limits_test, idleness_limit_stops_a_sleeping_program) {
    invoke_limits limits = no_limits();
    limits.idleness_limit = 1000;
    auto start = clock_type::now();
    invoke_result result = run(fixture("sleep 20000"), limits);
    long elapsed = elapsed_ms(start);
    EXPECT_EQ(result.outcome, INVOKE_IDLENESS_LIMIT);
    EXPECT_EQ(result.terminated, 1);
    EXPECT_GE(elapsed, 1000);
    EXPECT_LT(elapsed, 5000);
}

TEST(invoke_limits_test, zero_limits_impose_nothing) {
    invoke_limits limits = no_limits();
    limits.required_utilization = 0.9;  // idle all the time, but no idleness limit
    invoke_result result = run(fixture("allocate 100 300"), limits);
    EXPECT_EQ(result.outcome, INVOKE_OK);
    EXPECT_EQ(result.terminated, 0);
}

TEST(invoke_children, a_child_is_a_security_violation_and_nothing_survives) {
    std::string pid_file = temp_path("fork");
    invoke_result result = run(fixture("fork 5000 " + pid_file), no_limits());
    EXPECT_EQ(result.outcome, INVOKE_SECURITY_VIOLATION);
    ASSERT_NE(result.message, nullptr);
    EXPECT_STREQ(result.message, "Child process created");
    EXPECT_EQ(result.terminated, 1);
    EXPECT_EQ(result.exit_code, 0u);
    std::vector<pid_t> pids = read_pids(pid_file);
    ASSERT_GE(pids.size(), 1u);
    for (pid_t pid : pids) EXPECT_FALSE(process_alive(pid)) << pid;
    unlink(pid_file.c_str());
}

TEST(invoke_children, fork_bomb_ends_with_its_whole_process_group) {
    std::string pid_file = temp_path("bomb");
    auto start = clock_type::now();
    invoke_result result = run(fixture("fork_bomb " + pid_file), no_limits());
    EXPECT_EQ(result.outcome, INVOKE_SECURITY_VIOLATION);
    EXPECT_LT(elapsed_ms(start), 10000);
    std::vector<pid_t> pids = read_pids(pid_file);
    ASSERT_EQ(pids.size(), 1u);
    // The program leads its own process group; none of its members may be left.
    usleep(100000);
    EXPECT_TRUE(group_members(pids[0]).empty());
    unlink(pid_file.c_str());
}

TEST(invoke_children, allowed_children_are_waited_for) {
    std::string pid_file = temp_path("orphan");
    invoke_limits limits = no_limits();
    limits.flags = INVOKE_ALLOW_CHILDREN;
    auto start = clock_type::now();
    invoke_result result = run(fixture("orphan 700 " + pid_file), limits);
    EXPECT_GE(elapsed_ms(start), 700) << "returned before the last child ended";
    EXPECT_EQ(result.outcome, INVOKE_OK);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.terminated, 0);
    for (pid_t pid : read_pids(pid_file)) EXPECT_FALSE(process_alive(pid)) << pid;
    unlink(pid_file.c_str());

    // A grandchild orphaned by its parent is a debugged process too.
    pid_file = temp_path("grandchild");
    start = clock_type::now();
    result = run(fixture("grandchild 600 " + pid_file), limits);
    EXPECT_GE(elapsed_ms(start), 600);
    EXPECT_EQ(result.outcome, INVOKE_OK);
    for (pid_t pid : read_pids(pid_file)) EXPECT_FALSE(process_alive(pid)) << pid;
    unlink(pid_file.c_str());
}

namespace {

std::atomic<int> cancel_calls{0};
std::atomic<int> cancel_after{0};
std::atomic<bool> status_sane{true};
uint32_t last_wall = 0;

uint8_t counting_cancel(const invoke_status* status) {
    int call = ++cancel_calls;
    if (status->state != INVOKE_STATE_RUNNING || status->utilization < 0 ||
        status->wall_time < last_wall || status->peak_memory < status->memory)
        status_sane = false;
    last_wall = status->wall_time;
    // Only the low 8 bits count: 0x100 asks for nothing.
    return call >= cancel_after ? 1 : 0;
}

}  // namespace

TEST(invoke_cancel, a_stop_request_ends_the_run_and_the_callback_is_not_asked_again) {
    cancel_calls = 0;
    cancel_after = 3;
    status_sane = true;
    last_wall = 0;
    invoke_result result = run(fixture("sleep 20000"), no_limits(), counting_cancel);
    EXPECT_EQ(result.outcome, INVOKE_OK);
    EXPECT_EQ(result.terminated, 1);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(cancel_calls.load(), 3);
    EXPECT_TRUE(status_sane.load());
    EXPECT_LT(result.wall_time, 5000u);
}

TEST(invoke_cancel, callback_is_asked_on_every_poll_until_the_end) {
    cancel_calls = 0;
    cancel_after = 1 << 30;
    status_sane = true;
    last_wall = 0;
    invoke_result result = run(fixture("sleep 550"), no_limits(), counting_cancel);
    EXPECT_EQ(result.outcome, INVOKE_OK);
    EXPECT_EQ(result.terminated, 0);
    // At least one poll per 100 ms, plus one per debug event.
    EXPECT_GE(cancel_calls.load(), 5);
    EXPECT_TRUE(status_sane.load());
}

TEST(invoke_threads, two_calls_at_once_each_see_only_their_own_program) {
    invoke_result sleeper{}, crasher{};
    std::thread first([&] { sleeper = run(fixture("sleep 600"), no_limits()); });
    std::thread second([&] {
        usleep(100000);
        crasher = run(fixture("null_write"), no_limits());
    });
    first.join();
    second.join();
    EXPECT_EQ(sleeper.outcome, INVOKE_OK) << (sleeper.message ? sleeper.message : "");
    EXPECT_EQ(sleeper.terminated, 0);
    EXPECT_EQ(crasher.outcome, INVOKE_CRASH);
    EXPECT_EQ(crasher.exception_code, 0xC0000005u);
}
