#include "hostile_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

clock_type::time_point deadline_after(long milliseconds) {
    return clock_type::now() + std::chrono::milliseconds(milliseconds);
}

int remaining_ms(clock_type::time_point deadline) {
    long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for more output until deadline; false at its end or on time-out.
bool read_more(pairex_process& process, clock_type::time_point deadline) {
    if (process.output_ended) return false;
    for (;;) {
        pollfd ready = {process.output, POLLIN, 0};
        int polled = poll(&ready, 1, remaining_ms(deadline));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return false;
        char buffer[4096];
        ssize_t got = read(process.output, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            process.output_ended = true;
            return false;
        }
        clock_type::time_point now = clock_type::now();
        process.pending.append(buffer, static_cast<size_t>(got));
        size_t end;
        while ((end = process.pending.find('\n')) != std::string::npos) {
            process.lines.push_back(process.pending.substr(0, end));
            process.arrivals.push_back(now);
            process.pending.erase(0, end + 1);
        }
        return true;
    }
}

void reap(pairex_process& process) {
    while (waitpid(process.pid, &process.status, 0) < 0 && errno == EINTR) {
    }
    process.reaped = true;
}

}  // namespace

long milliseconds_since(clock_type::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count());
}

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

std::vector<pid_t> live_processes(const std::string& text, long timeout_ms) {
    clock_type::time_point deadline = deadline_after(timeout_ms);
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
        if (found.empty() || clock_type::now() >= deadline) return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string survivors(const record_dir& dir, long timeout_ms) {
    clock_type::time_point deadline = deadline_after(timeout_ms);
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
        if (found.empty() || clock_type::now() >= deadline) return found;
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

std::string describe(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "  |" + line + "\n";
    return text;
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
    clock_type::time_point start = clock_type::now();
    std::thread debugger([&] {
        run.debugger_tid = syscall(SYS_gettid);
        invoke(command_line.c_str(), nullptr, &limits, &run.result, nullptr);
    });
    debugger.join();
    run.wall_ms = milliseconds_since(start);
    return run;
}

pairex_process::~pairex_process() {
    if (pid > 0 && !reaped) kill_pairex(*this);
    if (output >= 0) close(output);
}

void start_pairex(pairex_process& process, const std::vector<std::string>& arguments) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(PAIREX_PATH));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    process.started = clock_type::now();
    pid_t pid = fork();
    if (pid == 0) {
        // Only the three standard handles: whatever else a program of the
        // run holds came from pairex.
        int null_device = open("/dev/null", O_RDWR);
        dup2(null_device, 0);
        dup2(ends[1], 1);
        dup2(null_device, 2);
        if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
            for (int fd = 3; fd < 65536; ++fd) close(fd);
        execv(PAIREX_PATH, argv.data());
        _exit(127);
    }
    close(ends[1]);
    process.pid = pid;
    process.output = ends[0];
}

bool read_until(pairex_process& process, const std::string& text, long timeout_ms) {
    clock_type::time_point deadline = deadline_after(timeout_ms);
    size_t checked = 0;
    for (;;) {
        for (; checked < process.lines.size(); ++checked)
            if (process.lines[checked] == text) return true;
        if (!read_more(process, deadline)) return false;
    }
}

bool run_to_end(pairex_process& process, long timeout_ms) {
    clock_type::time_point deadline = deadline_after(timeout_ms);
    while (!process.output_ended)
        if (!read_more(process, deadline) && !process.output_ended) return false;
    while (!process.reaped) {
        pid_t done = waitpid(process.pid, &process.status, WNOHANG);
        if (done == process.pid) {
            process.reaped = true;
            break;
        }
        if (remaining_ms(deadline) == 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void kill_pairex(pairex_process& process) {
    if (process.pid <= 0 || process.reaped) return;
    kill(process.pid, SIGKILL);
    reap(process);
}

int index_of(const std::vector<std::string>& lines, const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == text) return static_cast<int>(i);
    return -1;
}

int count_of(const std::vector<std::string>& lines, const std::string& text) {
    int count = 0;
    for (const std::string& line : lines) count += line == text ? 1 : 0;
    return count;
}

long arrival_ms(const pairex_process& process, int index) {
    if (index < 0 || static_cast<size_t>(index) >= process.arrivals.size()) return -1;
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 process.arrivals[static_cast<size_t>(index)] - process.started)
                                 .count());
}
