// Programs that use no processor time and never end: stopped, deaf, blocked
// on a full pipe, or waiting for a jury that crashed. Under pairex's limits
// for the user program (idleness 10 s below 5 %) each ends by the idleness
// limit, and pairex gives its verdict without hanging. The cases run at once.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "hostile_support.h"

namespace {

using std::chrono::milliseconds;

const long idleness_limit_ms = 10000;

struct idle_case {
    const char* name;
    const char* jury_mode;
    const char* user_mode;
};

const idle_case cases[] = {
    {"user stops itself", "ask", "stop_self"},
    {"user ignores and blocks every signal", "ask", "deaf sleep"},
    {"user writes to a jury that never reads", "idle", "flood"},
    {"jury crashes after its first question", "crash_after_question", "drain"},
};

const size_t case_count = sizeof cases / sizeof cases[0];

// What a case leaves for the checks, taken while pairex is still alive.
struct idle_outcome {
    std::vector<std::string> lines;
    bool verdict_came = false;
    long verdict_ms = -1;
    std::vector<std::string> alive_at_verdict;
    std::string survivors;
    std::vector<process_record> records;
};

void run_case(const idle_case& each, idle_outcome* outcome) {
    record_dir dir;
    pairex_process pairex;
    start_pairex(pairex, {"2s", "67108864", hostile(dir, "jury", each.jury_mode),
                          hostile(dir, "user", each.user_mode)},
                 hostile_start);
    outcome->verdict_came = read_until(pairex, "Simulating idleness limit", milliseconds(60000));
    outcome->verdict_ms = arrival_ms(pairex, index_of(pairex.lines, "Idleness limit exceeded"));
    // Both programs are over by the time of the report: pairex ended them itself.
    for (const process_record& record : read_records(dir))
        if (still_alive(record)) outcome->alive_at_verdict.push_back(record.role);
    kill_pairex(pairex);
    outcome->lines = pairex.lines;
    outcome->survivors = survivors(dir, milliseconds(5000));
    outcome->records = read_records(dir);
}

TEST(idle_programs, end_by_the_idleness_limit_without_hanging_pairex) {
    std::vector<idle_outcome> outcomes(case_count);
    std::vector<std::thread> runs;
    for (size_t i = 0; i < case_count; ++i)
        runs.emplace_back(run_case, std::cref(cases[i]), &outcomes[i]);
    for (std::thread& run : runs) run.join();

    for (size_t i = 0; i < case_count; ++i) {
        const idle_outcome& outcome = outcomes[i];
        SCOPED_TRACE(cases[i].name);
        ASSERT_TRUE(outcome.verdict_came) << describe(outcome.lines);
        int verdict = index_of(outcome.lines, "Idleness limit exceeded");
        ASSERT_GE(verdict, 0) << describe(outcome.lines);
        EXPECT_EQ(outcome.lines[static_cast<size_t>(verdict) + 1],
                  "Program utilized less than 5.00% of processor time for more than 10.00 sec");
        // The idle stretch must pass the limit; a jury that outlives the user
        // program adds the 2 s grace period; the rest is generous slack.
        EXPECT_GE(outcome.verdict_ms, idleness_limit_ms);
        EXPECT_LE(outcome.verdict_ms, idleness_limit_ms + 10000);
        EXPECT_EQ(outcome.alive_at_verdict, std::vector<std::string>());
        EXPECT_EQ(outcome.survivors, "");
        for (const char* role : {"jury", "user"}) {
            std::vector<process_record> found = with_role(outcome.records, role);
            ASSERT_EQ(found.size(), 1u) << role << " made no record";
            EXPECT_EQ(leaked_descriptors_under_pairex(found[0]), std::vector<std::string>()) << role;
        }
    }
    // A jury stopped by its own crash ends with exit code 0 and so does not
    // stop the user program.
    const idle_outcome& crashed = outcomes[case_count - 1];
    EXPECT_EQ(count_of(crashed.lines, "Jury program terminated, exit code 0"), 1)
        << describe(crashed.lines);
    EXPECT_EQ(
        count_of(crashed.lines, "Jury program terminated with non-zero code, terminating user program"),
        0);
}

}  // namespace
