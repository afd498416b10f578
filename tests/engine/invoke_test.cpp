#include <gtest/gtest.h>

#include "engine_test_support.h"

TEST(smoke, exits) {
    invoke_result result = run(fixture("exit 3"), no_limits());
    EXPECT_EQ(result.outcome, INVOKE_OK) << (result.message ? result.message : "");
    EXPECT_EQ(result.exit_code, 3u);
    printf("cpu %u wall %u peak %u\n", result.cpu_time, result.wall_time, result.peak_memory);
}
