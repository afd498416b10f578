#include "command_line.h"

#include <cstring>
#include <iostream>

#include "console.h"
#include "platform.h"

namespace {

const char ignore_first_chance_option[] = "-Xifce";

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

void write_usage(std::ostream& out) {
    write_line(out, "Usage: pairex [<options>] <time limit> <memory limit> <jury program> <user program>");
    write_line(out, "  -Xifce  - ignore exceptions on user program if they are marked as first-chance,");
    write_line(out, "            required for some new java machines");
}

void print_usage() {
    write_usage(std::cout);
}

int32_t read_decimal(const char* text) {
    const int64_t highest = 2147483647;
    const int64_t lowest = -2147483648LL;
    while (is_space(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    // Accumulate the magnitude, stopping its growth once it is past the
    // range either way so that long digit strings cannot overflow.
    int64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (magnitude <= highest + 1) magnitude = magnitude * 10 + (*text - '0');
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > highest) value = highest;
    if (value < lowest) value = lowest;
    return static_cast<int32_t>(value);
}

uint32_t parse_time_limit(std::string text) {
    if (!text.empty() && text.back() == 's') {
        text.pop_back();
        return static_cast<uint32_t>(read_decimal(text.c_str())) * 1000u;
    }
    return static_cast<uint32_t>(read_decimal(text.c_str()));
}

size_t joined_size(int count, const char* const* arguments) {
    size_t size = 0;
    for (int i = 0; i < count; ++i) size += strlen(arguments[i]) + 1;
    return size;
}

char* copy_command_line(const char* argument) {
    size_t length = strlen(argument);
    char* copy = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, length + 1));
    memcpy(copy, argument, length);
    return copy;
}

char* join_command_line(int count, const char* const* arguments) {
    char* joined = static_cast<char*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, joined_size(count, arguments)));
    char* end = joined;
    for (int i = 0; i < count; ++i) {
        if (i > 0) *end++ = ' ';
        size_t length = strlen(arguments[i]);
        memcpy(end, arguments[i], length);
        end += length;
    }
    return joined;
}

bool read_command_line(int argc, const char* const* argv, command_line* values,
                       std::ostream& out) {
    values->ignore_first_chance = false;
    values->time_limit = 0;
    values->memory_limit = 0;
    values->jury_command_line = nullptr;
    values->user_command_line = nullptr;

    int index = 1;
    for (; index < argc && argv[index][0] == '-'; ++index) {
        if (strcmp(argv[index], ignore_first_chance_option) == 0) {
            values->ignore_first_chance = true;
            continue;
        }
        out << "Unknown option: " << argv[index];
        end_line(out);
        write_usage(out);
        return false;
    }
    if (index + 4 > argc) {
        write_usage(out);
        return false;
    }
    values->time_limit = parse_time_limit(argv[index]);
    values->memory_limit = static_cast<uint32_t>(read_decimal(argv[index + 1]));
    values->jury_command_line = copy_command_line(argv[index + 2]);
    values->user_command_line = join_command_line(argc - (index + 3), argv + index + 3);
    return true;
}
