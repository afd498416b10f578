#include "e2e_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::chrono::milliseconds remaining(moment deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? left : std::chrono::milliseconds(0);
}

// Waits up to timeout for more output; false on timeout or at its end.
bool read_more(pairex_process& process, moment deadline) {
    if (process.output_ended) return false;
    for (;;) {
        pollfd ready = {process.output, POLLIN, 0};
        int polled = poll(&ready, 1, static_cast<int>(remaining(deadline).count()));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return false;
        char buffer[4096];
        ssize_t got = read(process.output, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            process.output_ended = true;
            return false;
        }
        moment now = std::chrono::steady_clock::now();
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

// Processes that outlive pairex (a program's own child, say) are handed to
// this process rather than to init: kill them and reap them.
void reap_strays() {
    std::ifstream children("/proc/self/task/" + std::to_string(gettid()) + "/children");
    std::vector<pid_t> strays;
    pid_t stray = 0;
    while (children >> stray) strays.push_back(stray);
    for (pid_t pid : strays) {
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

}  // namespace

pairex_process::~pairex_process() {
    if (pid > 0 && !reaped) kill_pairex(*this);
    if (output >= 0) close(output);
    reap_strays();
}

void start_pairex(pairex_process& process, const std::vector<std::string>& arguments) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        perror("pipe2");
        return;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(PAIREX_PATH));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        // pairex hands every inheritable descriptor on to both programs, so it
        // gets only its three standard ones.
        int null_input = open("/dev/null", O_RDONLY);
        dup2(null_input, 0);
        dup2(ends[1], 1);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        execv(PAIREX_PATH, argv.data());
        _exit(127);
    }
    close(ends[1]);
    process.pid = pid;
    process.output = ends[0];
}

bool read_line(pairex_process& process, std::chrono::milliseconds timeout) {
    moment deadline = std::chrono::steady_clock::now() + timeout;
    size_t before = process.lines.size();
    while (process.lines.size() == before)
        if (!read_more(process, deadline)) return false;
    return true;
}

bool read_until(pairex_process& process, const std::string& text,
                std::chrono::milliseconds timeout) {
    moment deadline = std::chrono::steady_clock::now() + timeout;
    size_t checked = 0;
    for (;;) {
        for (; checked < process.lines.size(); ++checked)
            if (process.lines[checked] == text) return true;
        if (!read_more(process, deadline)) return false;
    }
}

bool read_to_end(pairex_process& process, std::chrono::milliseconds timeout) {
    moment deadline = std::chrono::steady_clock::now() + timeout;
    while (!process.output_ended)
        if (!read_more(process, deadline) && !process.output_ended) return false;
    return true;
}

bool wait_for_end(pairex_process& process, std::chrono::milliseconds timeout) {
    if (process.reaped) return true;
    moment deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(process.pid, &status, WNOHANG);
        if (done == process.pid) {
            process.reaped = true;
            process.status = status;
            return true;
        }
        if (remaining(deadline).count() == 0) {
            kill_pairex(process);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void kill_pairex(pairex_process& process) {
    if (process.pid <= 0 || process.reaped) return;
    kill(process.pid, SIGKILL);
    int status = 0;
    while (waitpid(process.pid, &status, 0) < 0 && errno == EINTR) {
    }
    process.reaped = true;
    process.status = status;
}

bool still_running(pairex_process& process) {
    if (process.reaped) return false;
    int status = 0;
    pid_t done = waitpid(process.pid, &status, WNOHANG);
    if (done != process.pid) return true;
    process.reaped = true;
    process.status = status;
    return false;
}

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
    moment deadline = std::chrono::steady_clock::now() + timeout;
    pairex_process process;
    start_pairex(process, arguments);
    bool read = read_to_end(process, remaining(deadline));
    bool waited = wait_for_end(process, read ? remaining(deadline) : std::chrono::milliseconds(0));
    finished_run run;
    run.lines = process.lines;
    run.arrivals = process.arrivals;
    if (!process.pending.empty()) run.lines.push_back(process.pending + "<no newline>");
    run.ended = read && waited;
    run.status = process.status;
    return run;
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

long milliseconds_between(moment from, moment to) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
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

std::string describe(const std::vector<std::string>& lines) {
    std::string text = "pairex printed:\n";
    for (const std::string& line : lines) text += "  |" + line + "\n";
    return text;
}
