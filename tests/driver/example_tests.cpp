// The "guess the number" example judged by pairex: the correct solution is
// accepted, the wrong ones are caught.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include "e2e_support.h"

namespace {

using std::chrono::milliseconds;

const milliseconds run_timeout(20000);

std::string jury(const std::string& arguments) {
    return std::string(GUESS_JURY_PATH) + " " + arguments;
}

TEST(guess_example, binary_search_is_accepted) {
    for (const char* secret : {"1", "42", "1000"}) {
        finished_run run =
            run_pairex({"2s", "268435456", jury(std::string("1000 ") + secret), GUESS_SOLUTION_PATH},
                       run_timeout);
        ASSERT_TRUE(run.ended) << describe(run.lines);
        EXPECT_EQ(1, count_of(run.lines, "Jury program terminated, exit code 0"))
            << describe(run.lines);
        int report = index_of(run.lines, "User program successfully terminated");
        ASSERT_GE(report, 0) << describe(run.lines);
        EXPECT_EQ("  exit code:     0", run.lines[static_cast<size_t>(report) + 1]);
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);
    }
}

TEST(guess_example, too_many_questions_are_rejected_by_the_jury) {
    finished_run run =
        run_pairex({"2s", "268435456", jury("1000 999"), GUESS_TOO_MANY_PATH}, run_timeout);
    ASSERT_TRUE(run.ended) << describe(run.lines);
    int jury_line = index_of(run.lines, "Jury program terminated, exit code 1");
    ASSERT_GE(jury_line, 0) << describe(run.lines);
    EXPECT_EQ("Jury program terminated with non-zero code, terminating user program",
              run.lines[static_cast<size_t>(jury_line) + 1]);
    // The solution was stopped by pairex, so its own run ended normally.
    int report = index_of(run.lines, "User program successfully terminated");
    ASSERT_GT(report, jury_line) << describe(run.lines);
    EXPECT_EQ("  exit code:     0", run.lines[static_cast<size_t>(report) + 1]);
}

TEST(guess_example, crashing_solution_is_reported_and_reraised) {
    finished_run run =
        run_pairex({"2s", "268435456", jury("1000 42"), GUESS_CRASH_PATH}, run_timeout);
    ASSERT_TRUE(run.ended) << describe(run.lines);
    ASSERT_GE(run.lines.size(), 3u);
    std::vector<std::string> tail(run.lines.end() - 3, run.lines.end());
    EXPECT_EQ((std::vector<std::string>{"Crash", "  EXCEPTION_ACCESS_VIOLATION",
                                        "Throwing exception down"}),
              tail)
        << describe(run.lines);
    // The jury program waited for an answer that never came.
    EXPECT_EQ(1, count_of(run.lines,
                          "User program terminated more than 2 seconds ago, terminating jury "
                          "program"));
    EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGSEGV);
}

}  // namespace
