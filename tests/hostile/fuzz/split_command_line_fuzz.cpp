// Fuzz target of the command-line splitting that starts every program: the
// input is a command line. Whatever it splits into must come back unchanged
// when each argument is quoted by the C runtime's rules, the arguments are
// joined by spaces and the result is split again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform_linux_internal.h"

namespace {

const char* const white_space = " \t\n\v\f\r";

// The quoting under which the C runtime reads an argument back as it was.
std::string quoted(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(std::string(white_space) + "\"") == std::string::npos)
        return argument;
    std::string text = "\"";
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        for (; i < argument.size() && argument[i] == '\\'; ++i) ++backslashes;
        if (i == argument.size()) {
            text.append(backslashes * 2, '\\');
            break;
        }
        if (argument[i] == '"') {
            text.append(backslashes * 2 + 1, '\\');
        } else {
            text.append(backslashes, '\\');
        }
        text.push_back(argument[i]);
    }
    return text + "\"";
}

[[noreturn]] void fail(const char* what, const std::string& line) {
    std::fprintf(stderr, "property broken: %s\nline: [%s]\n", what, line.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A command line is a C string: it ends at its first NUL.
    std::string line(reinterpret_cast<const char*>(data), size);
    line = line.substr(0, line.find('\0'));
    std::vector<std::string> arguments = linux_layer::split_command_line(line.c_str());

    if (line.find_first_not_of(white_space) == std::string::npos && !arguments.empty())
        fail("white space alone yields no argument", line);
    std::string rejoined;
    for (size_t i = 0; i < arguments.size(); ++i) rejoined += (i > 0 ? " " : "") + quoted(arguments[i]);
    if (linux_layer::split_command_line(rejoined.c_str()) != arguments)
        fail("quoted arguments split back into themselves", line);
    return 0;
}
