#include "hostile_support.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string read_text(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// State letter and start time (field 22) of a process, from /proc/<pid>/stat.
bool process_state(pid_t pid, char* state, std::string* start) {
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    size_t at = stat.rfind(')');
    if (at == std::string::npos || at + 2 >= stat.size()) return false;
    *state = stat[at + 2];
    std::istringstream fields(stat.substr(at + 2));
    std::string field;
    for (int number = 3; number <= 22 && fields >> field; ++number)
        if (number == 22) *start = field;
    return true;
}

bool running(char state) { return state != 'Z' && state != 'X' && state != 'x'; }

void remove_tree(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        unlink((path + "/" + entry->d_name).c_str());
    }
    closedir(dir);
    rmdir(path.c_str());
}

moment deadline_after(std::chrono::milliseconds timeout) {
    return std::chrono::steady_clock::now() + timeout;
}

}  // namespace

record_dir::record_dir() {
    char pattern[] = "/tmp/pairex_hostile.XXXXXX";
    path = mkdtemp(pattern) != nullptr ? pattern : "/tmp/pairex_hostile.failed";
}

record_dir::~record_dir() { remove_tree(path); }

std::string hostile(const record_dir& dir, const std::string& role, const std::string& mode) {
    return std::string(HOSTILE_PATH) + " " + dir.path + " " + role + " " + mode;
}

std::vector<process_record> read_records(const record_dir& dir) {
    std::vector<process_record> records;
    DIR* listing = opendir(dir.path.c_str());
    if (listing == nullptr) return records;
    while (dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name.size() < 5 || name.compare(name.size() - 4, 4, ".rec") != 0) continue;
        std::istringstream text(read_text(dir.path + "/" + name));
        process_record record;
        for (std::string line; std::getline(text, line);) {
            size_t space = line.find(' ');
            std::string key = line.substr(0, space);
            std::string value = space == std::string::npos ? "" : line.substr(space + 1);
            if (key == "role")
                record.role = value;
            else if (key == "pid")
                record.pid = std::atoi(value.c_str());
            else if (key == "start")
                record.start = value;
            else if (key == "sid")
                record.session = std::atoi(value.c_str());
            else if (key == "tracer")
                record.tracer = std::atol(value.c_str());
            else if (key == "event")
                record.events.push_back(value);
            else if (key == "fd") {
                size_t gap = value.find(' ');
                record.descriptors.emplace_back(std::atoi(value.c_str()),
                                                gap == std::string::npos ? "" : value.substr(gap + 1));
            }
        }
        // A record file can exist with only the lines its parent appended.
        if (record.pid == 0) record.pid = std::atoi(name.c_str());
        records.push_back(record);
    }
    closedir(listing);
    return records;
}

std::vector<process_record> with_role(const std::vector<process_record>& records,
                                      const std::string& role) {
    std::vector<process_record> found;
    for (const process_record& record : records)
        if (record.role == role) found.push_back(record);
    return found;
}

bool still_alive(const process_record& record) {
    char state;
    std::string start;
    return process_state(record.pid, &state, &start) && running(state) &&
           (record.start.empty() || start == record.start);
}

std::vector<pid_t> live_processes(const std::string& text, std::chrono::milliseconds timeout) {
    moment deadline = deadline_after(timeout);
    for (;;) {
        std::vector<pid_t> found;
        DIR* proc = opendir("/proc");
        while (dirent* entry = readdir(proc)) {
            pid_t pid = std::atoi(entry->d_name);
            if (pid <= 0 || pid == getpid()) continue;
            std::string command_line = read_text("/proc/" + std::to_string(pid) + "/cmdline");
            std::replace(command_line.begin(), command_line.end(), '\0', ' ');
            char state;
            std::string start;
            if (command_line.find(text) != std::string::npos && process_state(pid, &state, &start) &&
                running(state))
                found.push_back(pid);
        }
        closedir(proc);
        if (found.empty() || std::chrono::steady_clock::now() >= deadline) return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string survivors(const record_dir& dir, std::chrono::milliseconds timeout) {
    moment deadline = deadline_after(timeout);
    for (;;) {
        // A dying process has no command line any more but is not over yet:
        // the records name those too.
        std::string found;
        for (pid_t pid : live_processes(dir.path)) {
            std::string command_line = read_text("/proc/" + std::to_string(pid) + "/cmdline");
            std::replace(command_line.begin(), command_line.end(), '\0', ' ');
            found += "  alive: " + std::to_string(pid) + " " + command_line + "\n";
        }
        for (const process_record& record : read_records(dir))
            if (still_alive(record))
                found += "  alive: recorded " + std::to_string(record.pid) + " (" + record.role + ")\n";
        if (found.empty() || std::chrono::steady_clock::now() >= deadline) return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> leaked_descriptors_under_pairex(const process_record& record) {
    std::vector<std::string> leaked;
    std::string input, output;
    for (const auto& descriptor : record.descriptors) {
        if (descriptor.first == 0) input = descriptor.second;
        if (descriptor.first == 1) output = descriptor.second;
    }
    if (input.compare(0, 5, "pipe:") != 0 || output.compare(0, 5, "pipe:") != 0 || input == output)
        leaked.push_back("standard input and output are not the two pipes: " + input + ", " + output);
    // Beyond the standard handles: pairex's null device once, and its ends of
    // the two pipes (a read end and a write end of each).
    int null_devices = 0, input_ends = 0, output_ends = 0;
    for (const auto& descriptor : record.descriptors) {
        const std::string& target = descriptor.second;
        if (descriptor.first == 0 || descriptor.first == 1) continue;
        if (descriptor.first == 2) {
            if (target != "/dev/null") leaked.push_back("standard error -> " + target);
            continue;
        }
        if (target == "/dev/null" && ++null_devices <= 1) continue;
        if (target == input && ++input_ends <= 2) continue;
        if (target == output && ++output_ends <= 2) continue;
        leaked.push_back(std::to_string(descriptor.first) + " -> " + target);
    }
    return leaked;
}

std::vector<std::string> leaked_descriptors_alone(const process_record& record) {
    std::vector<std::string> leaked;
    for (const auto& descriptor : record.descriptors)
        if (descriptor.first > 2 || descriptor.second != "/dev/null")
            leaked.push_back(std::to_string(descriptor.first) + " -> " + descriptor.second);
    if (record.descriptors.size() != 3) leaked.push_back("not exactly three standard handles");
    return leaked;
}

invoke_limits plain_limits() {
    invoke_limits limits;
    std::memset(&limits, 0, sizeof limits);
    limits.required_utilization = 0.05;
    return limits;
}

invoke_run invoke_alone(const std::string& command_line, const invoke_limits& limits) {
    invoke_run run;
    std::memset(&run.result, 0, sizeof run.result);
    moment start = std::chrono::steady_clock::now();
    std::thread debugger([&] {
        run.debugger_tid = syscall(SYS_gettid);
        invoke(command_line.c_str(), nullptr, &limits, &run.result, nullptr);
    });
    debugger.join();
    run.wall_ms = milliseconds_between(start, std::chrono::steady_clock::now());
    return run;
}
