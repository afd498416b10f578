// The verdict report: how the user program's run ended, printed from its
// limits and its result.
#ifndef PAIREX_DRIVER_REPORT_H
#define PAIREX_DRIVER_REPORT_H

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "invoke.h"

// Fixed-point text of value with exactly precision decimals, padded with
// blanks on the left to width. Rounds from the exact binary value, halves
// away from zero (0.125f gives 0.13). At most 19 characters.
std::string format_fixed(float value, int width, int precision);

// A millisecond count as seconds with two decimals.
std::string seconds_text(uint32_t milliseconds);

// A fraction of one as a percentage with two decimals, without the sign.
std::string percentage_text(double fraction);

// Lower-case hexadecimal without prefix or leading zeros.
std::string hex_text(uint32_t value);

struct exception_name {
    uint32_t code;
    const char* line;   // the name with its two leading blanks
};

extern const exception_name exception_names[];
extern const size_t exception_name_count;

// The report line naming code, or NULL when code has no name.
const char* exception_name_line(uint32_t code);

// Writes the report lines to out.
void write_report(std::ostream& out, const invoke_limits& limits, const invoke_result& result);

// Writes the report lines to standard output.
void print_report(const invoke_limits& limits, const invoke_result& result);

#endif
