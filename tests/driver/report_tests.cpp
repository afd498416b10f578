// The verdict report and its number forms.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "report.h"

namespace {

TEST(format_fixed, rounds_the_exact_value_halves_away_from_zero) {
    struct row {
        float value;
        int width;
        int precision;
        const char* text;
    };
    const row rows[] = {
        // Exact halves: round-half-even would give 0.12, 0.62, 2 and 0.
        {0.125f, 0, 2, "0.13"},
        {0.625f, 0, 2, "0.63"},
        {2.5f, 0, 0, "3"},
        {0.5f, 0, 0, "1"},
        {-0.125f, 0, 2, "-0.13"},
        {-2.5f, 0, 0, "-3"},
        // Not halves once the float's exact value counts.
        {0.005f, 0, 2, "0.00"},
        {0.045f, 0, 2, "0.05"},
        {0.035f, 0, 2, "0.04"},
        {0.1f, 0, 10, "0.1000000015"},
        {0.0f, 0, 2, "0.00"},
        {1.0f, 0, 0, "1"},
        {0.99999f, 0, 2, "1.00"},
        {9.995f, 0, 2, "9.99"},
        {1234.5f, 0, 3, "1234.500"},
        {16777216.0f, 0, 2, "16777216.00"},
        {4294967.5f, 0, 2, "4294967.50"},
        {3.0517578125e-05f, 0, 15, "0.000030517578125"},
        {1e-45f, 0, 2, "0.00"},
        // Width pads on the left and never cuts.
        {1.5f, 6, 1, "   1.5"},
        {-1.5f, 6, 1, "  -1.5"},
        {123.456f, 2, 1, "123.5"},
        {0.0f, 4, 2, "0.00"},
    };
    for (const row& r : rows)
        EXPECT_EQ(r.text, format_fixed(r.value, r.width, r.precision))
            << r.value << " width " << r.width << " precision " << r.precision;
}

TEST(format_fixed, never_longer_than_nineteen_characters) {
    EXPECT_EQ("1000000020040877342", format_fixed(1e20f, 0, 2));
    EXPECT_EQ(19u, format_fixed(1.0f, 30, 2).size());
}

TEST(number_forms, seconds_from_milliseconds) {
    struct row {
        uint32_t milliseconds;
        const char* text;
    };
    const row rows[] = {
        {0, "0.00"},      {5, "0.00"},       {6, "0.01"},
        {45, "0.05"},     {125, "0.13"},     {999, "1.00"},
        {1234, "1.23"},   {2000, "2.00"},    {10000, "10.00"},
        {4294967295u, "4294967.50"},
    };
    for (const row& r : rows) EXPECT_EQ(r.text, seconds_text(r.milliseconds)) << r.milliseconds;
}

TEST(number_forms, percentage_of_a_fraction) {
    EXPECT_EQ("5.00", percentage_text(0.05));
    EXPECT_EQ("0.00", percentage_text(0.0));
    EXPECT_EQ("100.00", percentage_text(1.0));
    EXPECT_EQ("0.13", percentage_text(0.00125));
    EXPECT_EQ("33.33", percentage_text(1.0 / 3.0));
}

TEST(number_forms, hexadecimal_lower_case_without_leading_zeros) {
    EXPECT_EQ("c0000409", hex_text(3221226505u));
    EXPECT_EQ("1", hex_text(1));
    EXPECT_EQ("0", hex_text(0));
    EXPECT_EQ("a0", hex_text(0xA0));
    EXPECT_EQ("ffffffff", hex_text(0xFFFFFFFFu));
}

TEST(exception_names, codes_are_unique_and_names_carry_two_blanks) {
    ASSERT_EQ(20u, exception_name_count);
    for (size_t i = 0; i < exception_name_count; ++i) {
        std::string line = exception_names[i].line;
        EXPECT_EQ("  EXCEPTION_", line.substr(0, 12)) << line;
        EXPECT_EQ(exception_names[i].line, exception_name_line(exception_names[i].code));
        for (size_t j = i + 1; j < exception_name_count; ++j)
            EXPECT_NE(exception_names[i].code, exception_names[j].code) << line;
    }
    EXPECT_STREQ("  EXCEPTION_INT_DIVIDE_BY_ZERO", exception_name_line(0xC0000094u));
    EXPECT_STREQ("  EXCEPTION_DATATYPE_MISALIGNMENT", exception_name_line(0x80000002u));
    EXPECT_EQ(nullptr, exception_name_line(0xC0000409u));
    EXPECT_EQ(nullptr, exception_name_line(0));
}

invoke_limits user_limits(uint32_t time_limit, uint32_t memory_limit) {
    invoke_limits limits = {};
    limits.time_limit = time_limit;
    limits.memory_limit = memory_limit;
    limits.idleness_limit = 10000;
    limits.required_utilization = 0.05;
    limits.flags = INVOKE_REDIRECT_STDIO;
    return limits;
}

invoke_result run_result(int32_t outcome, uint32_t exit_code = 0) {
    invoke_result result = {};
    result.outcome = outcome;
    result.exit_code = exit_code;
    result.cpu_time = 125;
    result.wall_time = 1234;
    result.peak_memory = 1048576;
    return result;
}

std::string report(const invoke_limits& limits, const invoke_result& result) {
    std::ostringstream out;
    write_report(out, limits, result);
    return out.str();
}

TEST(report, every_outcome) {
    invoke_result crash_named = run_result(INVOKE_CRASH);
    crash_named.exception_code = 0xC00000FDu;
    invoke_result crash_unnamed = run_result(INVOKE_CRASH);
    crash_unnamed.exception_code = 0xC0000409u;
    invoke_result crash_one = run_result(INVOKE_CRASH);
    crash_one.exception_code = 1;
    invoke_result child = run_result(INVOKE_SECURITY_VIOLATION);
    child.message = "Child process created";
    invoke_result failed = run_result(INVOKE_FAILED);
    failed.message = "One of the parameters is NULL";
    // A message left by an earlier violation is not shown by a later limit.
    invoke_result late_limit = run_result(INVOKE_TIME_LIMIT);
    late_limit.message = "Child process created";

    struct row {
        const char* name;
        invoke_limits limits;
        invoke_result result;
        const char* text;
    };
    const row rows[] = {
        {"ok with limits", user_limits(2000, 67108864), run_result(INVOKE_OK, 7),
         "User program successfully terminated\n"
         "  exit code:     7\n"
         "  time consumed: 0.13 of 2.00 sec\n"
         "  time passed:   1.23 sec\n"
         "  peak memory:   1048576 of 67108864 bytes\n"},
        {"ok without limits", user_limits(0, 0), run_result(INVOKE_OK, 0),
         "User program successfully terminated\n"
         "  exit code:     0\n"
         "  time consumed: 0.13 sec\n"
         "  time passed:   1.23 sec\n"
         "  peak memory:   1048576 bytes\n"},
        {"ok exit -1", user_limits(1000, 0), run_result(INVOKE_OK, 4294967295u),
         "User program successfully terminated\n"
         "  exit code:     4294967295\n"
         "  time consumed: 0.13 of 1.00 sec\n"
         "  time passed:   1.23 sec\n"
         "  peak memory:   1048576 bytes\n"},
        {"time limit", user_limits(2000, 0), run_result(INVOKE_TIME_LIMIT),
         "Time limit exceeded\n"
         "Program failed to terminate within 2.00 sec\n"},
        {"time limit after a violation", user_limits(1500, 0), late_limit,
         "Time limit exceeded\n"
         "Program failed to terminate within 1.50 sec\n"},
        {"memory limit", user_limits(0, 67108864), run_result(INVOKE_MEMORY_LIMIT),
         "Memory limit exceeded\n"
         "Program tried to allocate more than 67108864 bytes\n"},
        {"idleness limit", user_limits(0, 0), run_result(INVOKE_IDLENESS_LIMIT),
         "Idleness limit exceeded\n"
         "Program utilized less than 5.00% of processor time for more than 10.00 sec\n"},
        {"named crash", user_limits(0, 0), crash_named,
         "Crash\n"
         "  EXCEPTION_STACK_OVERFLOW\n"},
        {"unnamed crash", user_limits(0, 0), crash_unnamed,
         "Crash\n"
         "  Unknown exception: c0000409\n"},
        {"crash code 1", user_limits(0, 0), crash_one,
         "Crash\n"
         "  Unknown exception: 1\n"},
        {"security violation", user_limits(0, 0), child,
         "Security violation: Child process created\n"},
        {"failed", user_limits(0, 0), failed,
         "Invocation failed: One of the parameters is NULL\n"},
    };
    for (const row& r : rows) EXPECT_EQ(r.text, report(r.limits, r.result)) << r.name;
}

TEST(report, unknown_outcomes_are_failures_with_or_without_a_message) {
    for (int32_t outcome : {-1, -2, -8, 2, INT32_MIN, INT32_MAX}) {
        invoke_result result = run_result(outcome);
        result.message = "boom";
        EXPECT_EQ("Invocation failed: boom\n", report(user_limits(0, 0), result)) << outcome;
        result.message = nullptr;
        EXPECT_EQ("Invocation failed: \n", report(user_limits(0, 0), result)) << outcome;
    }
}

}  // namespace
