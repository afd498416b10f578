// pairex end to end where the behaviour takes over ten seconds by design.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <thread>

#include "e2e_support.h"

namespace {

using std::chrono::milliseconds;

TEST(pairex_slow, idleness_limit_is_simulated_by_sleeping) {
    // The jury program ends with 0 while the user program waits for input:
    // the user program is left alone until its idleness limit.
    std::string jury = fixture("exit 0");
    pairex_process process;
    start_pairex(process, {"0", "0", jury, fixture("wait")}, e2e_start);
    ASSERT_TRUE(read_until(process, "Simulating idleness limit", milliseconds(30000)))
        << describe(process.lines);
    EXPECT_EQ(1, count_of(process.lines, "Jury program terminated, exit code 0"));
    EXPECT_EQ(-1, index_of(process.lines,
                           "Jury program terminated with non-zero code, terminating user program"));
    EXPECT_EQ(lines_before_last(process, 2),
              (std::vector<std::string>{
                  "Idleness limit exceeded",
                  "Program utilized less than 5.00% of processor time for more than 10.00 sec"}));

    long before = cpu_milliseconds(process.pid);
    std::this_thread::sleep_for(milliseconds(1500));
    long after = cpu_milliseconds(process.pid);
    EXPECT_TRUE(still_running(process)) << "pairex ended by itself";
    EXPECT_LT(after - before, 200) << "pairex is not idle";
    EXPECT_FALSE(read_line(process, milliseconds(100)));
    kill_pairex(process);
    EXPECT_TRUE(WIFSIGNALED(process.status) && WTERMSIG(process.status) == SIGKILL);
}

}  // namespace
