// pairex: judges one run of an interactive problem. Runs the jury program and
// the user program joined by pipes, reports the user program's verdict and
// then ends its own process with the same verdict.
#include <iostream>

#include "command_line.h"
#include "invoke.h"
#include "report.h"
#include "reproduce.h"
#include "run.h"

int main(int argc, char* argv[]) {
    command_line values;
    if (!read_command_line(argc, argv, &values, std::cout)) return 0;
    invoke_limits user_limits;
    invoke_result user_result;
    run_pair(&values, &user_limits, &user_result);
    print_report(user_limits, user_result);
    return reproduce_verdict(user_result);
}
