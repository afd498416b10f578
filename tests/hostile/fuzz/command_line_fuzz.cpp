// Fuzz target of pairex's option scan and number reading. The input is the
// argument list, arguments separated by NUL bytes. The numbers are checked
// against the C library's own reading of the same text (strtoll, clamped to
// 32 bits), and the scan's result against the rules of the command line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "platform.h"

namespace {

const size_t argument_count_cap = 64;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

void check(bool holds, const char* what) {
    if (!holds) fail(what);
}

int32_t reference_decimal(const std::string& text) {
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

uint32_t reference_time_limit(const std::string& text) {
    if (!text.empty() && text.back() == 's')
        return static_cast<uint32_t>(reference_decimal(text.substr(0, text.size() - 1))) * 1000u;
    return static_cast<uint32_t>(reference_decimal(text));
}

std::string usage_text() {
    std::ostringstream usage;
    write_usage(usage);
    return usage.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments;
    std::string input(reinterpret_cast<const char*>(data), size);
    // The empty input is the empty list; otherwise n NULs separate n + 1 arguments.
    size_t start = input.empty() ? 1 : 0;
    while (start <= input.size() && arguments.size() < argument_count_cap) {
        size_t end = input.find('\0', start);
        if (end == std::string::npos) end = input.size();
        arguments.push_back(input.substr(start, end - start));
        start = end + 1;
    }

    for (const std::string& argument : arguments) {
        check(read_decimal(argument.c_str()) == reference_decimal(argument),
              "read_decimal agrees with strtoll");
        check(parse_time_limit(argument) == reference_time_limit(argument), "parse_time_limit");
    }

    std::vector<const char*> argv = {"pairex"};
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    int argc = static_cast<int>(argv.size()) - 1;

    // What the scan must conclude: options while an argument begins with
    // "-", then at least four positional arguments.
    size_t first = 0;
    bool ignore_first_chance = false;
    const std::string* unknown = nullptr;
    for (; first < arguments.size() && !arguments[first].empty() && arguments[first][0] == '-'; ++first) {
        if (arguments[first] != "-Xifce") {
            unknown = &arguments[first];
            break;
        }
        ignore_first_chance = true;
    }

    command_line values;
    std::ostringstream out;
    bool accepted = read_command_line(argc, argv.data(), &values, out);
    if (unknown != nullptr || arguments.size() - first < 4) {
        check(!accepted, "a malformed command line is refused");
        check(values.jury_command_line == nullptr && values.user_command_line == nullptr,
              "nothing is allocated for a refused command line");
        std::string expected = unknown != nullptr ? "Unknown option: " + *unknown + "\n" : "";
        check(out.str() == expected + usage_text(), "the complaint and the usage text");
        return 0;
    }
    check(accepted, "a well-formed command line is accepted");
    check(out.str().empty(), "an accepted command line prints nothing");
    check(values.ignore_first_chance == ignore_first_chance, "-Xifce");
    check(values.time_limit == reference_time_limit(arguments[first]), "time limit");
    check(values.memory_limit == static_cast<uint32_t>(reference_decimal(arguments[first + 1])),
          "memory limit");
    check(values.jury_command_line != nullptr && arguments[first + 2] == values.jury_command_line,
          "jury command line copied whole");
    std::string joined;
    for (size_t i = first + 3; i < arguments.size(); ++i)
        joined += (i > first + 3 ? " " : "") + arguments[i];
    check(values.user_command_line != nullptr && joined == values.user_command_line,
          "user command line joined by single spaces");
    HeapFree(GetProcessHeap(), 0, values.jury_command_line);
    HeapFree(GetProcessHeap(), 0, values.user_command_line);
    return 0;
}
