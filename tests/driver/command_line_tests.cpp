// The command line of pairex: lenient numbers, time limits, the two command
// lines and the option scan.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "platform.h"

namespace {

const std::string usage_text =
    "Usage: pairex [<options>] <time limit> <memory limit> <jury program> <user program>\n"
    "  -Xifce  - ignore exceptions on user program if they are marked as first-chance,\n"
    "            required for some new java machines\n";

void release(void* block) {
    HeapFree(GetProcessHeap(), 0, block);
}

TEST(read_decimal, reads_leniently_and_saturates) {
    struct row {
        const char* text;
        int32_t value;
    };
    const row rows[] = {
        {"123", 123},
        {"0012", 12},
        {"+5", 5},
        {"-17", -17},
        {"  -17x", -17},
        {" \t\n\v\f\r42", 42},
        {"256M", 256},
        {"1.5", 1},
        {"", 0},
        {"abc", 0},
        {"-", 0},
        {"+", 0},
        {"--5", 0},
        {"- 5", 0},
        {"+-5", 0},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"99999999999999999999999999", 2147483647},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-99999999999999999999999999", INT32_MIN},
    };
    for (const row& r : rows) EXPECT_EQ(r.value, read_decimal(r.text)) << '"' << r.text << '"';
}

TEST(parse_time_limit, milliseconds_or_whole_seconds) {
    struct row {
        const char* text;
        uint32_t milliseconds;
    };
    const row rows[] = {
        {"5s", 5000},
        {"1500", 1500},
        {"1.5s", 1000},
        {"1.5", 1},
        {"2S", 2},
        {"5ss", 5000},
        {"s", 0},
        {"", 0},
        {" 5s", 5000},
        {"x", 0},
        {"0", 0},
        {"+3s", 3000},
        // A product above 2^32 - 1 wraps; a huge count saturates first.
        {"4294968s", 704},
        {"99999999999s", 4294966296u},
        {"-1", 4294967295u},
        {"-1s", 4294966296u},
    };
    for (const row& r : rows)
        EXPECT_EQ(r.milliseconds, parse_time_limit(r.text)) << '"' << r.text << '"';
}

TEST(command_line_buffers, jury_argument_is_copied_unchanged) {
    const char* arguments[] = {"judge.exe in.txt out.txt", "\"quoted arg\" x", ""};
    for (const char* argument : arguments) {
        char* copy = copy_command_line(argument);
        EXPECT_STREQ(argument, copy);
        EXPECT_NE(argument, copy);
        release(copy);
    }
}

TEST(command_line_buffers, user_arguments_are_joined_by_single_spaces_unquoted) {
    struct row {
        std::vector<const char*> arguments;
        const char* joined;
    };
    const row rows[] = {
        {{"user.exe"}, "user.exe"},
        {{"user.exe", "a b", ""}, "user.exe a b "},
        {{"java", "-Xifce", "Main"}, "java -Xifce Main"},
        {{"prog", "\"q\"", "x\\y"}, "prog \"q\" x\\y"},
        {{"", ""}, " "},
    };
    for (const row& r : rows) {
        int count = static_cast<int>(r.arguments.size());
        char* joined = join_command_line(count, r.arguments.data());
        EXPECT_STREQ(r.joined, joined);
        // The buffer is exactly the text and its NUL.
        EXPECT_EQ(strlen(r.joined) + 1, joined_size(count, r.arguments.data())) << r.joined;
        release(joined);
    }
}

struct scan_case {
    std::vector<const char*> arguments;  // without the program's own path
    std::string printed;
};

std::string scan(const std::vector<const char*>& arguments, bool* accepted,
                 command_line* values) {
    std::vector<const char*> argv{"pairex"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::ostringstream out;
    *accepted = read_command_line(static_cast<int>(argv.size()), argv.data(), values, out);
    return out.str();
}

TEST(read_command_line, malformed_command_lines_print_the_usage) {
    const scan_case cases[] = {
        {{}, usage_text},
        {{"1s", "0", "jury"}, usage_text},
        {{"-Xifce"}, usage_text},
        {{"-Xifce", "1s", "0", "jury"}, usage_text},
        {{"-Xifce", "-Xifce", "1s", "0", "jury"}, usage_text},
        {{"-xifce", "1s", "0", "jury", "user"}, "Unknown option: -xifce\n" + usage_text},
        {{"-X", "1s", "0", "jury", "user"}, "Unknown option: -X\n" + usage_text},
        {{"-", "1s", "0", "jury", "user"}, "Unknown option: -\n" + usage_text},
        {{"-Xifcee", "1s", "0", "jury", "user"}, "Unknown option: -Xifcee\n" + usage_text},
        // A negative time limit looks like an option.
        {{"-5", "0", "jury", "user"}, "Unknown option: -5\n" + usage_text},
        // The unknown option wins over missing arguments; only the first is named.
        {{"-q"}, "Unknown option: -q\n" + usage_text},
        {{"-Xifce", "-a", "-b"}, "Unknown option: -a\n" + usage_text},
    };
    for (const scan_case& c : cases) {
        bool accepted = true;
        command_line values;
        std::string printed = scan(c.arguments, &accepted, &values);
        EXPECT_FALSE(accepted) << c.printed;
        EXPECT_EQ(c.printed, printed);
        // Nothing is allocated for a rejected command line.
        EXPECT_EQ(nullptr, values.jury_command_line);
        EXPECT_EQ(nullptr, values.user_command_line);
    }
}

TEST(read_command_line, accepted_command_lines_yield_the_values) {
    struct row {
        std::vector<const char*> arguments;
        bool ignore_first_chance;
        uint32_t time_limit;
        uint32_t memory_limit;
        const char* jury;
        const char* user;
    };
    const row rows[] = {
        {{"5s", "268435456", "jury 1 2", "user"}, false, 5000, 268435456, "jury 1 2", "user"},
        {{"-Xifce", "1500", "256M", "j", "u", "a b"}, true, 1500, 256, "j", "u a b"},
        {{"-Xifce", "-Xifce", "2s", "0", "j", "u"}, true, 2000, 0, "j", "u"},
        // Options end at the first positional argument, even an empty one.
        {{"", "-1", "j", "u", "-Xifce"}, false, 0, 4294967295u, "j", "u -Xifce"},
        {{"1s", "-1", "-j", "-u", "-v"}, false, 1000, 4294967295u, "-j", "-u -v"},
        {{"1s", "99999999999", "j", "u"}, false, 1000, 2147483647u, "j", "u"},
    };
    for (const row& r : rows) {
        bool accepted = false;
        command_line values;
        std::string printed = scan(r.arguments, &accepted, &values);
        ASSERT_TRUE(accepted) << r.user;
        EXPECT_EQ("", printed);
        EXPECT_EQ(r.ignore_first_chance, values.ignore_first_chance) << r.user;
        EXPECT_EQ(r.time_limit, values.time_limit) << r.user;
        EXPECT_EQ(r.memory_limit, values.memory_limit) << r.user;
        EXPECT_STREQ(r.jury, values.jury_command_line);
        EXPECT_STREQ(r.user, values.user_command_line);
        release(values.jury_command_line);
        release(values.user_command_line);
    }
}

}  // namespace
