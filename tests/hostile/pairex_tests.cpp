// Hostile and broken programs under the whole pairex program: the verdict
// it prints and how it ends, nothing of the run left alive afterwards, and
// nothing but the run's pipes and the null device inside the programs.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "hostile_support.h"

namespace {

using std::chrono::milliseconds;

const milliseconds run_timeout(30000);
const std::string memory_limit = "67108864";
const std::string grace_line =
    "User program terminated more than 2 seconds ago, terminating jury program";
const std::string user_over_line = "User program terminated, wating for jury program";

bool exited_with(const pairex_process& process, int code) {
    return process.reaped && WIFEXITED(process.status) && WEXITSTATUS(process.status) == code;
}

// Both programs of the run made their records and hold only what they should.
void expect_clean_descriptors(const record_dir& dir) {
    std::vector<process_record> records = read_records(dir);
    for (const char* role : {"jury", "user"}) {
        std::vector<process_record> found = with_role(records, role);
        ASSERT_EQ(found.size(), 1u) << role << " made no record";
        EXPECT_EQ(leaked_descriptors_under_pairex(found[0]), std::vector<std::string>()) << role;
    }
}

// Nothing of the run is alive, and its programs held only what they should.
void expect_nothing_left(const record_dir& dir) {
    EXPECT_EQ(survivors(dir), "");
    expect_clean_descriptors(dir);
}

// The user program's report of a normal end with code, which pairex passes on.
void expect_normal_end(const pairex_process& pairex, int code) {
    EXPECT_TRUE(exited_with(pairex, code));
    int report = index_of(pairex.lines, "User program successfully terminated");
    ASSERT_GE(report, 0) << describe(pairex.lines);
    ASSERT_LT(static_cast<size_t>(report) + 1, pairex.lines.size()) << describe(pairex.lines);
    EXPECT_EQ(pairex.lines[static_cast<size_t>(report) + 1],
              "  exit code:     " + std::to_string(code));
}

bool both_recorded(const record_dir& dir) {
    std::vector<process_record> records = read_records(dir);
    return with_role(records, "jury").size() == 1 && with_role(records, "user").size() == 1;
}

bool wait_for_records(const record_dir& dir, milliseconds timeout) {
    moment deadline = std::chrono::steady_clock::now() + timeout;
    while (!both_recorded(dir)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

TEST(pairex_hostile, starting_processes_is_a_security_violation_and_none_of_them_runs) {
    struct row {
        const char* user_mode;
        std::vector<std::string> roles_that_never_ran;
    };
    // Every forked process is stopped at its creation, before it runs.
    const row rows[] = {
        {"fork_bomb", {"user bomb"}},
        {"grandchild 5000", {"user child", "user grandchild"}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.user_mode);
        record_dir dir;
        pairex_process pairex;
        start_pairex(pairex,
                     {"2s", memory_limit, hostile(dir, "jury", "exit 0"), hostile(dir, "user", r.user_mode)},
                     hostile_start);
        ASSERT_TRUE(run_to_end(pairex, run_timeout)) << describe(pairex.lines);
        ASSERT_FALSE(pairex.lines.empty());
        EXPECT_EQ(pairex.lines.back(), "Security violation: Child process created")
            << describe(pairex.lines);
        EXPECT_TRUE(exited_with(pairex, 0));
        std::vector<process_record> records = read_records(dir);
        for (const std::string& role : r.roles_that_never_ran)
            EXPECT_TRUE(with_role(records, role).empty()) << role;
        expect_nothing_left(dir);
    }
}

TEST(pairex_hostile, program_over_a_limit_is_ended_and_pairex_stands_to_give_its_verdict) {
    struct row {
        const char* name;
        const char* time_limit;
        const char* user_mode;
        std::string simulating_line;
        std::vector<std::string> verdict;
    };
    const row rows[] = {
        {"memory bomb", "0", "memory_bomb", "Simulating memory limit",
         {"Memory limit exceeded", "Program tried to allocate more than " + memory_limit + " bytes"}},
        {"deaf busy program", "1s", "deaf spin", "Simulating time limit",
         {"Time limit exceeded", "Program failed to terminate within 1.00 sec"}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        record_dir dir;
        pairex_process pairex;
        start_pairex(pairex,
                     {r.time_limit, memory_limit, hostile(dir, "jury", "exit 0"),
                      hostile(dir, "user", r.user_mode)},
                     hostile_start);
        ASSERT_TRUE(read_until(pairex, r.simulating_line, run_timeout)) << describe(pairex.lines);
        int verdict = index_of(pairex.lines, r.verdict[0]);
        ASSERT_GE(verdict, 0) << describe(pairex.lines);
        ASSERT_LT(static_cast<size_t>(verdict) + 1, pairex.lines.size()) << describe(pairex.lines);
        EXPECT_EQ(pairex.lines[static_cast<size_t>(verdict) + 1], r.verdict[1]);
        // pairex ended both programs before its report, not by dying.
        for (const process_record& record : read_records(dir))
            EXPECT_FALSE(still_alive(record)) << record.role << " " << record.pid;
        kill_pairex(pairex);
        expect_nothing_left(dir);
    }
}

TEST(pairex_hostile, program_that_closes_its_standard_handles_ends_normally) {
    record_dir dir;
    pairex_process pairex;
    // The jury waits for an answer that cannot come and is stopped after the grace period.
    start_pairex(pairex,
                 {"2s", memory_limit, hostile(dir, "jury", "ask"), hostile(dir, "user", "close_std 7")},
                 hostile_start);
    ASSERT_TRUE(run_to_end(pairex, run_timeout)) << describe(pairex.lines);
    expect_normal_end(pairex, 7);
    EXPECT_EQ(count_of(pairex.lines, grace_line), 1) << describe(pairex.lines);
    std::vector<process_record> user = with_role(read_records(dir), "user");
    ASSERT_EQ(user.size(), 1u);
    EXPECT_EQ(user[0].events, std::vector<std::string>{"close_std closed"});
    expect_nothing_left(dir);
}

TEST(pairex_hostile, jury_that_never_ends_is_stopped_after_the_grace_period) {
    // Modes of a jury program that would run for ever.
    for (const char* jury_mode : {"spin", "idle", "deaf sleep", "stop_self"}) {
        SCOPED_TRACE(jury_mode);
        record_dir dir;
        pairex_process pairex;
        start_pairex(pairex, {"2s", memory_limit, hostile(dir, "jury", jury_mode),
                              hostile(dir, "user", "exit 3")},
                     hostile_start);
        ASSERT_TRUE(run_to_end(pairex, run_timeout)) << describe(pairex.lines);
        EXPECT_EQ(count_of(pairex.lines, grace_line), 1) << describe(pairex.lines);
        EXPECT_EQ(count_of(pairex.lines, "Jury program terminated, exit code 0"), 1)
            << describe(pairex.lines);
        expect_normal_end(pairex, 3);
        // The grace period runs from the user program's end; the jury is stopped
        // at the engine's next poll after it.
        long over = arrival_ms(pairex, index_of(pairex.lines, user_over_line));
        long stopped = arrival_ms(pairex, index_of(pairex.lines, grace_line));
        EXPECT_GE(stopped - over, 1900);
        EXPECT_LE(stopped - over, 6000);
        expect_nothing_left(dir);
    }
}

TEST(pairex_hostile, user_program_that_kills_the_jury_shows_as_a_failed_jury) {
    record_dir dir;
    pairex_process pairex;
    start_pairex(pairex,
                 {"2s", memory_limit, hostile(dir, "jury", "idle"), hostile(dir, "user", "kill_jury")},
                 hostile_start);
    ASSERT_TRUE(run_to_end(pairex, run_timeout)) << describe(pairex.lines);
    // Same user, so the kill succeeds; the jury's exit code is what tells
    // the judge: the user program's own report is a normal end.
    EXPECT_EQ(count_of(pairex.lines, "Jury program terminated, exit code 137"), 1)
        << describe(pairex.lines);
    EXPECT_EQ(
        count_of(pairex.lines, "Jury program terminated with non-zero code, terminating user program"),
        1);
    expect_normal_end(pairex, 0);
    expect_nothing_left(dir);
}

struct kill_case {
    const char* name;
    const char* jury_mode;
    const char* user_mode;
    bool user_kills_pairex;
};

TEST(pairex_hostile, both_programs_die_with_a_killed_pairex) {
    const kill_case cases[] = {
        {"both asleep", "idle", "idle", false},
        {"user stopped", "idle", "stop_self", false},
        {"user blocked on a full pipe", "idle", "flood", false},
        {"user deaf and busy", "idle", "deaf spin", false},
        {"user kills pairex", "idle", "kill_parent", true},
    };
    for (const kill_case& each : cases) {
        SCOPED_TRACE(each.name);
        record_dir dir;
        pairex_process pairex;
        start_pairex(pairex, {"0", "0", hostile(dir, "jury", each.jury_mode),
                              hostile(dir, "user", each.user_mode)},
                     hostile_start);
        if (each.user_kills_pairex) {
            // The jury may not even have started by then.
            ASSERT_TRUE(run_to_end(pairex, run_timeout));
            EXPECT_EQ(with_role(read_records(dir), "user").size(), 1u);
        } else {
            ASSERT_TRUE(wait_for_records(dir, milliseconds(10000)));
            std::this_thread::sleep_for(milliseconds(200));
            kill_pairex(pairex);
            expect_clean_descriptors(dir);
        }
        EXPECT_TRUE(WIFSIGNALED(pairex.status) && WTERMSIG(pairex.status) == SIGKILL);
        // The kernel ends the debugged programs with their debugger.
        EXPECT_EQ(survivors(dir, milliseconds(5000)), "");
    }
}

TEST(pairex_hostile, pairex_killed_while_starting_leaves_nothing_behind) {
    // From before the programs exist to well after both run.
    for (long delay_us : {0L, 200L, 500L, 1000L, 2000L, 3000L, 5000L, 8000L, 12000L, 20000L, 40000L}) {
        SCOPED_TRACE("killed after " + std::to_string(delay_us) + " us");
        record_dir dir;
        pairex_process pairex;
        start_pairex(pairex, {"0", "0", hostile(dir, "jury", "idle"), hostile(dir, "user", "idle")},
                     hostile_start);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
        kill_pairex(pairex);
        EXPECT_EQ(survivors(dir, milliseconds(5000)), "");
    }
}

}  // namespace
