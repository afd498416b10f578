// pairex run end to end with fixture programs: its lines, its exit status,
// its death, and what it does to the two programs.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <regex>
#include <thread>

#include "e2e_support.h"

namespace {

using std::chrono::milliseconds;

const milliseconds run_timeout(20000);

const std::vector<std::string> usage_lines = {
    "Usage: pairex [<options>] <time limit> <memory limit> <jury program> <user program>",
    "  -Xifce  - ignore exceptions on user program if they are marked as first-chance,",
    "            required for some new java machines",
};

const char user_ended[] = "User program terminated, wating for jury program";
const char jury_failed_line[] =
    "Jury program terminated with non-zero code, terminating user program";
const char grace_over_line[] =
    "User program terminated more than 2 seconds ago, terminating jury program";

std::string jury_exit_line(unsigned code) {
    return "Jury program terminated, exit code " + std::to_string(code);
}

bool exited_with(const finished_run& run, int code) {
    return WIFEXITED(run.status) && WEXITSTATUS(run.status) == code;
}

bool killed_by(int status, int signal_number) {
    return WIFSIGNALED(status) && WTERMSIG(status) == signal_number;
}

// Each text comes exactly once, and in this order, among lines. The two
// threads of pairex print independently, so tests check each thread's own
// order and the orders that one program's end imposes on the other.
void expect_sequence(const std::vector<std::string>& lines,
                     const std::vector<std::string>& texts) {
    int previous = -1;
    for (const std::string& text : texts) {
        EXPECT_EQ(1, count_of(lines, text)) << text << "\n" << describe(lines);
        int position = index_of(lines, text);
        EXPECT_GT(position, previous) << text << "\n" << describe(lines);
        previous = position;
    }
}

// The five lines of a normal end, starting at line first.
void expect_normal_report(const std::vector<std::string>& lines, size_t first,
                          unsigned exit_code, const std::string& time_limit_part,
                          const std::string& memory_limit_part) {
    ASSERT_EQ(first + 5, lines.size()) << describe(lines);
    EXPECT_EQ("User program successfully terminated", lines[first]);
    EXPECT_EQ("  exit code:     " + std::to_string(exit_code), lines[first + 1]);
    EXPECT_TRUE(std::regex_match(lines[first + 2],
                                 std::regex("  time consumed: [0-9]+\\.[0-9]{2}" +
                                            time_limit_part + " sec")))
        << lines[first + 2];
    EXPECT_TRUE(std::regex_match(lines[first + 3],
                                 std::regex("  time passed:   [0-9]+\\.[0-9]{2} sec")))
        << lines[first + 3];
    EXPECT_TRUE(std::regex_match(lines[first + 4],
                                 std::regex("  peak memory:   [1-9][0-9]*" + memory_limit_part +
                                            " bytes")))
        << lines[first + 4];
}

TEST(pairex_usage, malformed_command_lines_print_usage_and_exit_0) {
    struct row {
        std::vector<std::string> arguments;
        std::string complaint;  // the line before the usage text, if any
    };
    const row rows[] = {
        {{}, ""},
        {{"1s", "0", "jury"}, ""},
        {{"-Xifce"}, ""},
        {{"-Xifce", "-Xifce", "1s", "0", "jury"}, ""},
        {{"-xifce", "1s", "0", "jury", "user"}, "Unknown option: -xifce"},
        {{"-", "1s", "0", "jury", "user"}, "Unknown option: -"},
        {{"-Xifce", "-Xifce", "-5", "0", "jury", "user"}, "Unknown option: -5"},
    };
    for (const row& r : rows) {
        finished_run run = run_pairex(r.arguments, run_timeout);
        ASSERT_TRUE(run.ended);
        std::vector<std::string> expected = usage_lines;
        if (!r.complaint.empty()) expected.insert(expected.begin(), r.complaint);
        EXPECT_EQ(expected, run.lines) << r.complaint;
        EXPECT_TRUE(exited_with(run, 0)) << r.complaint;
    }
}

TEST(pairex_run, normal_pair_reports_and_passes_the_exit_code_on) {
    struct row {
        std::vector<std::string> options;
        std::string user;
    };
    // -Xifce among the user program's arguments belongs to its command line.
    const row rows[] = {
        {{}, fixture("reply 7")},
        {{"-Xifce", "-Xifce"}, fixture("reply 7 -Xifce")},
    };
    for (const row& r : rows) {
        std::string jury = fixture("echo hello 0");
        std::vector<std::string> arguments = r.options;
        arguments.insert(arguments.end(), {"5s", "268435456", jury, r.user});
        finished_run run = run_pairex(arguments, run_timeout);
        ASSERT_TRUE(run.ended) << describe(run.lines);
        expect_sequence(run.lines, {user_announcement(r.user), user_ended});
        expect_sequence(run.lines, {jury_announcement(jury), jury_exit_line(0)});
        // Each program waits for the other one to talk before it ends.
        expect_sequence(run.lines, {jury_announcement(jury), user_ended});
        expect_sequence(run.lines, {user_announcement(r.user), jury_exit_line(0)});
        expect_normal_report(run.lines, 4, 7, " of 5\\.00", " of 268435456");
        EXPECT_TRUE(exited_with(run, 7)) << describe(run.lines);
    }
}

TEST(pairex_run, without_limits_the_report_has_no_limit_parts) {
    std::string jury = fixture("sleep 300 0");
    std::string user = fixture("exit 0");
    finished_run run = run_pairex({"0", "0", jury, user}, run_timeout);
    ASSERT_TRUE(run.ended) << describe(run.lines);
    expect_sequence(run.lines, {user_announcement(user), user_ended});
    expect_sequence(run.lines, {jury_announcement(jury), jury_exit_line(0)});
    expect_normal_report(run.lines, 4, 0, "", "");
    EXPECT_TRUE(exited_with(run, 0));
}

TEST(pairex_run, jury_failing_first_stops_the_user_program_at_once) {
    for (unsigned code : {3u, 255u}) {
        std::string jury = fixture("sleep 300 " + std::to_string(code));
        std::string user = fixture("wait");
        finished_run run = run_pairex({"0", "0", jury, user}, run_timeout);
        ASSERT_TRUE(run.ended) << describe(run.lines);
        expect_sequence(run.lines, {user_announcement(user), jury_failed_line, user_ended});
        expect_sequence(run.lines, {jury_announcement(jury), jury_exit_line(code)});
        expect_sequence(run.lines, {jury_exit_line(code), jury_failed_line});
        EXPECT_EQ(-1, index_of(run.lines, grace_over_line));
        // Stopped by the driver: a normal end with exit code 0.
        expect_normal_report(run.lines, 5, 0, "", "");
        EXPECT_TRUE(exited_with(run, 0));
        // The jury thread has ended already, so there is no grace wait.
        int ended = index_of(run.lines, user_ended);
        ASSERT_GE(ended, 0);
        EXPECT_LT(milliseconds_between(run.arrivals[static_cast<size_t>(ended)],
                                       run.arrivals.back()),
                  1500)
            << describe(run.lines);
    }
}

TEST(pairex_run, jury_outliving_the_user_program_is_stopped_after_the_grace_period) {
    struct row {
        const char* name;
        std::string jury;
        int user_code;
    };
    // Juries that never end by themselves.
    const row rows[] = {
        {"sleeping for ever", fixture("sleep_forever"), 5},
        {"blocked on a full pipe", fixture("flood"), 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string user = fixture("exit " + std::to_string(r.user_code));
        finished_run run = run_pairex({"0", "0", r.jury, user}, run_timeout);
        ASSERT_TRUE(run.ended) << describe(run.lines);
        expect_sequence(run.lines, {user_announcement(user), user_ended});
        expect_sequence(run.lines, {jury_announcement(r.jury), grace_over_line, jury_exit_line(0)});
        expect_sequence(run.lines, {user_ended, grace_over_line});
        expect_normal_report(run.lines, 5, static_cast<unsigned>(r.user_code), "", "");
        EXPECT_TRUE(exited_with(run, r.user_code));
        int ended = index_of(run.lines, user_ended);
        int stopped = index_of(run.lines, grace_over_line);
        ASSERT_TRUE(ended >= 0 && stopped >= 0);
        long grace = milliseconds_between(run.arrivals[static_cast<size_t>(ended)],
                                          run.arrivals[static_cast<size_t>(stopped)]);
        EXPECT_GE(grace, 1900);
        EXPECT_LE(grace, 5000);
    }
}

TEST(pairex_run, jury_ending_within_the_grace_period_is_waited_for_only_that_long) {
    std::string jury = fixture("sleep 700 0");
    std::string user = fixture("exit 0");
    finished_run run = run_pairex({"0", "0", jury, user}, run_timeout);
    ASSERT_TRUE(run.ended) << describe(run.lines);
    expect_sequence(run.lines, {user_announcement(user), user_ended});
    expect_sequence(run.lines, {jury_announcement(jury), jury_exit_line(0)});
    EXPECT_EQ(-1, index_of(run.lines, grace_over_line));
    expect_normal_report(run.lines, 4, 0, "", "");
    int ended = index_of(run.lines, user_ended);
    ASSERT_GE(ended, 0);
    EXPECT_LT(milliseconds_between(run.arrivals[static_cast<size_t>(ended)], run.arrivals.back()),
              1800)
        << describe(run.lines);
}

TEST(pairex_run, user_program_that_cannot_start_is_a_security_violation) {
    std::string jury = fixture("sleep_forever");
    std::string user = "/nonexistent/pairex-missing-user-program";
    finished_run run = run_pairex({"1s", "0", jury, user}, run_timeout);
    ASSERT_TRUE(run.ended) << describe(run.lines);
    ASSERT_EQ(6u, run.lines.size()) << describe(run.lines);
    expect_sequence(run.lines, {user_announcement(user), user_ended});
    // The jury program still gets its grace period, then it is stopped.
    expect_sequence(run.lines, {jury_announcement(jury), grace_over_line, jury_exit_line(0)});
    expect_sequence(run.lines, {user_ended, grace_over_line});
    const std::string prefix = "Security violation: ";
    EXPECT_EQ(prefix, run.lines[5].substr(0, prefix.size()));
    EXPECT_GT(run.lines[5].size(), prefix.size()) << "the message is missing";
    EXPECT_TRUE(exited_with(run, 0));
}

TEST(pairex_run, jury_program_that_cannot_start_leaves_the_user_program_alone) {
    std::string jury = "/nonexistent/pairex-missing-jury-program";
    std::string user = fixture("sleep 600 4");
    finished_run run = run_pairex({"0", "0", jury, user}, run_timeout);
    ASSERT_TRUE(run.ended) << describe(run.lines);
    expect_sequence(run.lines, {user_announcement(user), user_ended});
    expect_sequence(run.lines, {jury_announcement(jury), jury_exit_line(0)});
    EXPECT_EQ(-1, index_of(run.lines, jury_failed_line));
    // Not stopped: it ran to its own end and exit code.
    expect_normal_report(run.lines, 4, 4, "", "");
    EXPECT_TRUE(exited_with(run, 4));
}

TEST(pairex_run, user_program_starting_a_child_is_a_security_violation) {
    finished_run run = run_pairex({"0", "0", fixture("exit 0"), fixture("spawn")}, run_timeout);
    ASSERT_TRUE(run.ended) << describe(run.lines);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ("Security violation: Child process created", run.lines.back()) << describe(run.lines);
    EXPECT_TRUE(exited_with(run, 0));
}

TEST(pairex_verdict, exit_code_is_passed_through) {
    for (int code : {0, 3, 255}) {
        std::string user = fixture("exit " + std::to_string(code));
        finished_run run = run_pairex({"0", "0", fixture("exit 0"), user}, run_timeout);
        ASSERT_TRUE(run.ended) << describe(run.lines);
        expect_normal_report(run.lines, 4, static_cast<unsigned>(code), "", "");
        EXPECT_TRUE(exited_with(run, code)) << code;
    }
}

TEST(pairex_verdict, crash_is_reraised_with_the_same_signal) {
    struct row {
        std::vector<std::string> options;
        std::string mode;
        std::string name_line;
        int signal_number;
    };
    const row rows[] = {
        {{}, "segv", "  EXCEPTION_ACCESS_VIOLATION", SIGSEGV},
        {{"-Xifce"}, "segv", "  EXCEPTION_ACCESS_VIOLATION", SIGSEGV},
        {{}, "divide", "  EXCEPTION_INT_DIVIDE_BY_ZERO", SIGFPE},
        {{}, "abort", "  Unknown exception: c0000409", SIGABRT},
    };
    for (const row& r : rows) {
        std::vector<std::string> arguments = r.options;
        arguments.insert(arguments.end(), {"0", "0", fixture("exit 0"), fixture(r.mode)});
        finished_run run = run_pairex(arguments, run_timeout);
        ASSERT_TRUE(run.ended) << describe(run.lines);
        ASSERT_GE(run.lines.size(), 3u) << describe(run.lines);
        std::vector<std::string> tail(run.lines.end() - 3, run.lines.end());
        EXPECT_EQ((std::vector<std::string>{"Crash", r.name_line, "Throwing exception down"}), tail)
            << describe(run.lines);
        EXPECT_TRUE(killed_by(run.status, r.signal_number))
            << r.mode << ": status " << run.status;
    }
}

TEST(pairex_verdict, exceptions_a_program_handles_count_only_without_xifce) {
    std::string jury = fixture("exit 0");
    std::string user = fixture("handled 6");
    finished_run strict = run_pairex({"0", "0", jury, user}, run_timeout);
    ASSERT_TRUE(strict.ended) << describe(strict.lines);
    ASSERT_GE(strict.lines.size(), 2u);
    EXPECT_EQ("  EXCEPTION_ACCESS_VIOLATION", strict.lines[strict.lines.size() - 2])
        << describe(strict.lines);
    EXPECT_TRUE(killed_by(strict.status, SIGSEGV));

    finished_run lenient = run_pairex({"-Xifce", "0", "0", jury, user}, run_timeout);
    ASSERT_TRUE(lenient.ended) << describe(lenient.lines);
    expect_normal_report(lenient.lines, 4, 6, "", "");
    EXPECT_TRUE(exited_with(lenient, 6));
}

TEST(pairex_run, jury_program_may_handle_its_own_exceptions) {
    // Not stopped as a crash: it recovers and fails on its own, which stops
    // the user program.
    std::string jury = fixture("handled 4");
    std::string user = fixture("wait");
    finished_run run = run_pairex({"0", "0", jury, user}, run_timeout);
    ASSERT_TRUE(run.ended) << describe(run.lines);
    expect_sequence(run.lines, {jury_announcement(jury), jury_exit_line(4), jury_failed_line});
    expect_normal_report(run.lines, 5, 0, "", "");
}

TEST(pairex_verdict, time_limit_is_simulated_by_burning_processor_time) {
    pairex_process process;
    start_pairex(process, {"1s", "0", fixture("exit 0"), fixture("burn")}, e2e_start);
    ASSERT_TRUE(read_until(process, "Simulating time limit", run_timeout))
        << describe(process.lines);
    EXPECT_EQ(lines_before_last(process, 2),
              (std::vector<std::string>{"Time limit exceeded",
                                        "Program failed to terminate within 1.00 sec"}));

    long before = cpu_milliseconds(process.pid);
    std::this_thread::sleep_for(milliseconds(1500));
    long after = cpu_milliseconds(process.pid);
    EXPECT_TRUE(still_running(process));
    EXPECT_GE(after - before, 500) << "pairex is not burning processor time";
    // Nothing follows the announcing line.
    EXPECT_FALSE(read_line(process, milliseconds(100)));
    kill_pairex(process);
    EXPECT_TRUE(killed_by(process.status, SIGKILL));
}

TEST(pairex_verdict, memory_limit_is_simulated_by_growing_memory) {
    pairex_process process;
    start_pairex(process, {"0", "67108864", fixture("exit 0"), fixture("eat")}, e2e_start);
    ASSERT_TRUE(read_until(process, "Simulating memory limit", run_timeout))
        << describe(process.lines);
    EXPECT_EQ(lines_before_last(process, 2),
              (std::vector<std::string>{"Memory limit exceeded",
                                        "Program tried to allocate more than 67108864 bytes"}));

    long start = resident_kib(process.pid);
    ASSERT_GT(start, 0);
    const long growth_kib = 64 * 1024;
    long now = start;
    moment deadline = std::chrono::steady_clock::now() + milliseconds(10000);
    while (now < start + growth_kib && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(10));
        now = resident_kib(process.pid);
    }
    kill_pairex(process);
    EXPECT_GE(now, start + growth_kib) << "resident set went from " << start << " KiB to "
                                        << now << " KiB";
}

}  // namespace
