// The command line of pairex: options, the two limits and the two command
// lines of the programs to run.
#ifndef PAIREX_DRIVER_COMMAND_LINE_H
#define PAIREX_DRIVER_COMMAND_LINE_H

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

struct command_line {
    bool ignore_first_chance;
    uint32_t time_limit;       // milliseconds, 0 = none
    uint32_t memory_limit;     // bytes, 0 = none
    char* jury_command_line;   // process heap, freed by the run
    char* user_command_line;   // process heap, freed by the run
};

// The three lines of the usage text.
void write_usage(std::ostream& out);
void print_usage();

// Reads a decimal number the lenient way: leading white space, one optional
// sign, digits up to the first non-digit; no digits give 0, values beyond
// the 32-bit signed range saturate.
int32_t read_decimal(const char* text);

// Milliseconds, or whole seconds with one trailing lower-case "s" (wrapping
// modulo 2^32 when multiplied by 1000).
uint32_t parse_time_limit(std::string text);

// Bytes needed for the arguments joined by single spaces, with the NUL.
size_t joined_size(int count, const char* const* arguments);

// Zero-filled process-heap copy of argument, exactly its length plus one.
char* copy_command_line(const char* argument);

// The arguments joined by single spaces, unquoted, in a zero-filled
// process-heap buffer of exactly joined_size bytes.
char* join_command_line(int count, const char* const* arguments);

// Scans the options and the positional arguments of argv. On a malformed
// command line writes the complaint and the usage text to out and returns
// false, having allocated nothing; otherwise fills values and returns true.
bool read_command_line(int argc, const char* const* argv, command_line* values,
                       std::ostream& out);

#endif
