// pairex.exe end to end on Windows: pairs of fixture programs joined through
// pairex, checked by the lines it prints and the exit code it ends with.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "pairex_run.h"

namespace {

const DWORD run_timeout_ms = 60000;

const char usage_1[] =
    "Usage: pairex [<options>] <time limit> <memory limit> <jury program> <user program>";
const char usage_2[] =
    "  -Xifce  - ignore exceptions on user program if they are marked as first-chance,";
const char usage_3[] = "            required for some new java machines";

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string pairex_command(const std::string& arguments) {
    return quoted(windows_path(PAIREX_PATH)) + " " + arguments;
}

// The fixture's command line. The jury's goes to pairex as one argument and
// keeps its quotes; the user's is split into arguments and joined again by
// pairex, so it is given without quotes (the build path has no blanks).
std::string jury_fixture(const std::string& mode) {
    return quoted(windows_path(FIXTURE_PATH)) + " " + mode;
}

std::string user_fixture(const std::string& mode) {
    return windows_path(FIXTURE_PATH) + " " + mode;
}

// pairex arguments: options, limits, the jury command line as one argument
// (its quotes escaped for the argument splitting of pairex) and the user's.
std::string pair_arguments(const std::string& options, const std::string& limits,
                           const std::string& jury, const std::string& user) {
    std::string jury_argument = "\"";
    for (char c : jury) {
        if (c == '"') jury_argument += '\\';
        jury_argument += c;
    }
    jury_argument += "\"";
    std::string arguments = options.empty() ? "" : options + " ";
    return arguments + limits + " " + jury_argument + " " + user;
}

// A pattern that matches exactly text.
std::string escaped(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

std::string describe(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "  |" + line + "\n";
    return text;
}

int index_of(const std::vector<std::string>& lines, const std::string& line) {
    auto found = std::find(lines.begin(), lines.end(), line);
    return found == lines.end() ? -1 : static_cast<int>(found - lines.begin());
}

// The lines of the run phase come from two threads in an order that may
// vary; the report that follows them is checked line by line, as patterns.
void expect_output(const std::vector<std::string>& lines, std::vector<std::string> run_lines,
                   const std::vector<std::string>& report_patterns) {
    ASSERT_EQ(run_lines.size() + report_patterns.size(), lines.size()) << describe(lines);
    std::vector<std::string> run_part(lines.begin(), lines.begin() + run_lines.size());
    std::sort(run_part.begin(), run_part.end());
    std::sort(run_lines.begin(), run_lines.end());
    EXPECT_EQ(run_lines, run_part) << describe(lines);
    for (size_t i = 0; i < report_patterns.size(); ++i) {
        const std::string& line = lines[run_lines.size() + i];
        EXPECT_TRUE(std::regex_match(line, std::regex(report_patterns[i])))
            << "line " << run_lines.size() + i << ": " << line << "\n  expected: "
            << report_patterns[i] << "\n" << describe(lines);
    }
}

std::string running_user(const std::string& user) {
    return "Running user program \"" + user + "\"";
}

std::string running_jury(const std::string& jury) {
    return "Running jury program \"" + jury + "\"";
}

const char user_over[] = "User program terminated, wating for jury program";
const char jury_stopped[] =
    "User program terminated more than 2 seconds ago, terminating jury program";
const char user_stopped[] = "Jury program terminated with non-zero code, terminating user program";

std::string jury_ended(unsigned exit_code) {
    return "Jury program terminated, exit code " + std::to_string(exit_code);
}

std::string system_text(DWORD code, const char* insert) {
    char* formatted = nullptr;
    DWORD_PTR inserts[1] = {reinterpret_cast<DWORD_PTR>(insert)};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                       FORMAT_MESSAGE_ARGUMENT_ARRAY,
                   nullptr, code, 0x400, reinterpret_cast<LPSTR>(&formatted), 0,
                   reinterpret_cast<va_list*>(inserts));
    std::string text = formatted != nullptr ? formatted : "";
    if (formatted != nullptr) LocalFree(formatted);
    return text.substr(0, text.find('\r'));
}

TEST(pairex_exe, prints_the_usage_and_exits_with_0_on_a_malformed_command_line) {
    struct row {
        const char* arguments;
        std::vector<std::string> lines;
    };
    const row rows[] = {
        {"", {usage_1, usage_2, usage_3}},
        {"-Xifce 1s 100 jury", {usage_1, usage_2, usage_3}},
        {"-xifce 1s 100 jury user", {"Unknown option: -xifce", usage_1, usage_2, usage_3}},
        {"-5 100 jury user", {"Unknown option: -5", usage_1, usage_2, usage_3}},
    };
    for (const row& r : rows) {
        pairex_run run = run_pairex(pairex_command(r.arguments), run_timeout_ms);
        ASSERT_TRUE(run.started);
        ASSERT_TRUE(run.ended) << r.arguments;
        EXPECT_EQ(0u, run.exit_code) << r.arguments;
        EXPECT_EQ(r.lines, run.lines) << r.arguments << "\n" << describe(run.lines);
    }
}

// The report of a user program that ended by itself with exit_code, under
// the limits "5s 268435456". The measured values vary; only their form is
// checked.
std::vector<std::string> ok_report(const std::string& exit_code) {
    return {escaped("User program successfully terminated"),
            escaped("  exit code:     " + exit_code),
            R"(  time consumed: \d+\.\d\d of 5\.00 sec)",
            R"(  time passed:   \d+\.\d\d sec)",
            R"(  peak memory:   \d+ of 268435456 bytes)"};
}

std::vector<std::string> crash_report(const std::string& name_line) {
    return {escaped("Crash"), escaped(name_line), escaped("Throwing exception down")};
}

// Runs that end with a report and the user program's exit code or exception.
TEST(pairex_exe, reports_the_user_run_and_ends_the_same_way) {
    struct row {
        const char* name;
        std::string options;
        std::string user;
        std::vector<std::string> run_lines;  // besides the two announcements
        std::vector<std::string> report;     // patterns, one per line
        DWORD exit_code;
    };
    const std::vector<std::string> jury_answered = {user_over, jury_ended(0)};
    const std::vector<std::string> jury_waits = {user_over, jury_stopped, jury_ended(0)};
    const row rows[] = {
        {"normal pair", "", user_fixture("user 3"), jury_answered, ok_report("3"), 3},
        {"exit code -1", "", user_fixture("user -1"), jury_answered, ok_report("4294967295"),
         0xFFFFFFFFu},
        {"access violation", "", user_fixture("user_access_violation"), jury_waits,
         crash_report("  EXCEPTION_ACCESS_VIOLATION"), 0xC0000005u},
        {"unhandled exception with -Xifce", "-Xifce", user_fixture("user_raise c0000409"),
         jury_waits, crash_report("  Unknown exception: c0000409"), 0xC0000409u},
        {"handled exception with -Xifce", "-Xifce", user_fixture("user_handled 4"),
         jury_answered, ok_report("4"), 4},
        {"handled exception without -Xifce", "", user_fixture("user_handled 4"), jury_answered,
         crash_report("  Unknown exception: e0001234"), 0xE0001234u},
        {"child process", "", user_fixture("user_spawn"), jury_waits,
         {escaped("Security violation: Child process created")}, 0},
    };
    const std::string jury = jury_fixture("jury 41");
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        pairex_run run = run_pairex(
            pairex_command(pair_arguments(r.options, "5s 268435456", jury, r.user)),
            run_timeout_ms);
        ASSERT_TRUE(run.started);
        ASSERT_TRUE(run.ended);
        std::vector<std::string> run_lines = {running_jury(jury), running_user(r.user)};
        run_lines.insert(run_lines.end(), r.run_lines.begin(), r.run_lines.end());
        expect_output(run.lines, run_lines, r.report);
        EXPECT_EQ(r.exit_code, run.exit_code) << std::hex << run.exit_code;
    }
}

TEST(pairex_exe, a_failing_jury_stops_the_user_program) {
    const std::string jury = jury_fixture("jury_fail 3");
    const std::string user = user_fixture("user 7");  // waits for a question that never comes
    pairex_run run = run_pairex(pairex_command(pair_arguments("", "5s 268435456", jury, user)),
                                run_timeout_ms);
    ASSERT_TRUE(run.ended);
    expect_output(run.lines,
                  {running_jury(jury), running_user(user), jury_ended(3), user_stopped, user_over},
                  ok_report("0"));
    // The stop follows the jury's end, and the user run is over only then.
    int ended = index_of(run.lines, jury_ended(3));
    int stopped = index_of(run.lines, user_stopped);
    int over = index_of(run.lines, user_over);
    EXPECT_LT(ended, stopped);
    EXPECT_LT(stopped, over);
    EXPECT_EQ(0u, run.exit_code);
}

TEST(pairex_exe, a_user_program_that_cannot_start_is_a_security_violation) {
    const std::string jury = jury_fixture("jury 41");
    const std::string user = "no_such_program_here.exe";
    pairex_run run = run_pairex(pairex_command(pair_arguments("", "5s 268435456", jury, user)),
                                run_timeout_ms);
    ASSERT_TRUE(run.ended);
    const std::string text = system_text(ERROR_FILE_NOT_FOUND, user.c_str());
    ASSERT_FALSE(text.empty());
    expect_output(run.lines,
                  {running_jury(jury), running_user(user), user_over, jury_stopped, jury_ended(0)},
                  {escaped("Security violation: " + text)});
    EXPECT_EQ(0u, run.exit_code);
}

TEST(pairex_exe, simulates_the_memory_limit_that_the_user_program_exceeded) {
    const std::string jury = jury_fixture("jury 41");
    const std::string user = user_fixture("user_hog 64");
    pairex_run run = run_pairex_until(
        pairex_command(pair_arguments("", "0 16777216", jury, user)), "Simulating memory limit",
        run_timeout_ms);
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.ended) << "pairex must not end by itself";
    expect_output(run.lines,
                  {running_jury(jury), running_user(user), user_over, jury_stopped, jury_ended(0)},
                  {escaped("Memory limit exceeded"),
                   escaped("Program tried to allocate more than 16777216 bytes"),
                   escaped("Simulating memory limit")});
}

}  // namespace
