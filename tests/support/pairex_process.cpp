#include "pairex_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <thread>

namespace {

std::chrono::milliseconds remaining(moment deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? left : std::chrono::milliseconds(0);
}

moment deadline_after(std::chrono::milliseconds timeout) {
    return std::chrono::steady_clock::now() + timeout;
}

// Waits for more output until deadline; false on timeout or at its end.
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

void reap(pid_t pid, int* status) {
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

// Adopted processes are children of the thread that started pairex: kill
// them and reap them.
void reap_strays() {
    std::ifstream children("/proc/self/task/" + std::to_string(gettid()) + "/children");
    std::vector<pid_t> strays;
    pid_t stray = 0;
    while (children >> stray) strays.push_back(stray);
    for (pid_t pid : strays) {
        kill(pid, SIGKILL);
        reap(pid, nullptr);
    }
}

}  // namespace

pairex_process::~pairex_process() {
    if (pid > 0 && !reaped) kill_pairex(*this);
    if (output >= 0) close(output);
    if (adopts_orphans) reap_strays();
}

void start_pairex(pairex_process& process, const std::vector<std::string>& arguments,
                  const start_options& options) {
    if (options.adopt_orphans) {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        process.adopts_orphans = true;
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        perror("pipe2");
        return;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(PAIREX_PATH));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    process.started = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        // pairex hands every inheritable descriptor on to both programs, so it
        // gets only its three standard ones.
        int null_device = open("/dev/null", O_RDWR);
        dup2(null_device, 0);
        dup2(ends[1], 1);
        if (options.quiet) dup2(null_device, 2);
        if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
            for (int fd = 3; fd < 65536; ++fd) close(fd);
        execv(PAIREX_PATH, argv.data());
        _exit(127);
    }
    close(ends[1]);
    process.pid = pid;
    process.output = ends[0];
}

bool read_line(pairex_process& process, std::chrono::milliseconds timeout) {
    moment deadline = deadline_after(timeout);
    size_t before = process.lines.size();
    while (process.lines.size() == before)
        if (!read_more(process, deadline)) return false;
    return true;
}

bool read_until(pairex_process& process, const std::string& text,
                std::chrono::milliseconds timeout) {
    moment deadline = deadline_after(timeout);
    size_t checked = 0;
    for (;;) {
        for (; checked < process.lines.size(); ++checked)
            if (process.lines[checked] == text) return true;
        if (!read_more(process, deadline)) return false;
    }
}

bool read_to_end(pairex_process& process, std::chrono::milliseconds timeout) {
    moment deadline = deadline_after(timeout);
    while (!process.output_ended)
        if (!read_more(process, deadline) && !process.output_ended) return false;
    return true;
}

bool wait_for_end(pairex_process& process, std::chrono::milliseconds timeout) {
    if (process.reaped) return true;
    moment deadline = deadline_after(timeout);
    for (;;) {
        int status = 0;
        if (waitpid(process.pid, &status, WNOHANG) == process.pid) {
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

bool run_to_end(pairex_process& process, std::chrono::milliseconds timeout) {
    moment deadline = deadline_after(timeout);
    bool read = read_to_end(process, remaining(deadline));
    bool waited = wait_for_end(process, read ? remaining(deadline) : std::chrono::milliseconds(0));
    return read && waited;
}

void kill_pairex(pairex_process& process) {
    if (process.pid <= 0 || process.reaped) return;
    kill(process.pid, SIGKILL);
    reap(process.pid, &process.status);
    process.reaped = true;
}

bool still_running(pairex_process& process) {
    if (process.reaped) return false;
    int status = 0;
    if (waitpid(process.pid, &status, WNOHANG) != process.pid) return true;
    process.reaped = true;
    process.status = status;
    return false;
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

long arrival_ms(const pairex_process& process, int index) {
    if (index < 0 || static_cast<size_t>(index) >= process.arrivals.size()) return -1;
    return milliseconds_between(process.started, process.arrivals[static_cast<size_t>(index)]);
}

std::string describe(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "  |" + line + "\n";
    return text;
}
