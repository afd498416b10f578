#include "console.h"

#include <iostream>

void end_line(std::ostream& out) {
    out << '\n';
    out.flush();
}

void write_line(std::ostream& out, const char* text) {
    out << text;
    end_line(out);
}

void print_line(const char* text) {
    write_line(std::cout, text);
}
