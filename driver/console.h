// Console output of pairex. Every line is written in pieces, then ended by a
// newline and a flush, so that a reader on a pipe has the whole line before
// pairex takes its next step (which may be to loop forever or to die).
#ifndef PAIREX_DRIVER_CONSOLE_H
#define PAIREX_DRIVER_CONSOLE_H

#include <ostream>

// Ends the line under way on out: newline, then flush.
void end_line(std::ostream& out);

// Writes text as one whole line on out.
void write_line(std::ostream& out, const char* text);

// Writes text as one whole line on standard output.
void print_line(const char* text);

#endif
