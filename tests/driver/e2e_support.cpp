#include "e2e_support.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

long cpu_milliseconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t name_end = text.rfind(')');
    if (name_end == std::string::npos) return -1;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    std::istringstream fields(text.substr(name_end + 2));
    std::string field;
    long user = 0, system = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) user = std::stol(field);
        if (number == 15) system = std::stol(field);
    }
    return (user + system) * 1000 / sysconf(_SC_CLK_TCK);
}

long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
    return -1;
}

finished_run run_pairex(const std::vector<std::string>& arguments,
                        std::chrono::milliseconds timeout) {
    pairex_process process;
    start_pairex(process, arguments, e2e_start);
    finished_run run;
    run.ended = run_to_end(process, timeout);
    run.lines = process.lines;
    run.arrivals = process.arrivals;
    if (!process.pending.empty()) run.lines.push_back(process.pending + "<no newline>");
    run.status = process.status;
    return run;
}

std::string fixture(const std::string& arguments) {
    return std::string(FIXTURE_PATH) + " " + arguments;
}

std::string jury_announcement(const std::string& command_line) {
    return "Running jury program \"" + command_line + "\"";
}

std::string user_announcement(const std::string& command_line) {
    return "Running user program \"" + command_line + "\"";
}

std::vector<std::string> lines_before_last(const pairex_process& process, size_t count) {
    const std::vector<std::string>& lines = process.lines;
    size_t end = lines.empty() ? 0 : lines.size() - 1;
    size_t begin = end > count ? end - count : 0;
    return std::vector<std::string>(lines.begin() + static_cast<long>(begin),
                                    lines.begin() + static_cast<long>(end));
}
