// Benchmarks of pairex and of its engine. Google Benchmark runs each figure
// as a benchmark of one iteration per repetition and prints the medians of
// its counters; at the end a summary table sets each figure against its goal.
// Every comparison is made within this run: pairex and the bench's own
// minimal launcher run the same pair, turn about.
//
// Whole runs are timed from just before the fork to the moment the process
// has ended; the CPU time of pairex itself is read from its process clock
// while it is a zombie (all its threads, none of its children).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "invoke.h"

namespace {

typedef std::chrono::steady_clock clock_type;

const std::string pairex_path = PAIREX_PATH;
const std::string peer_path = PEER_PATH;
const std::string launcher_path = LAUNCHER_PATH;
const std::string guess_jury_path = GUESS_JURY_PATH;
const std::string guess_solution_path = GUESS_SOLUTION_PATH;
const std::string guess_too_many_path = GUESS_TOO_MANY_PATH;
const std::string guess_crash_path = GUESS_CRASH_PATH;

const long exchanges = 200000;
const long exchanges_under_load = 60000;
const int parallel_runs = 16;
const uint32_t time_limit_ms = 1000;
const uint32_t memory_limit_bytes = 64u * 1024 * 1024;
const long watcher_jury_sleep_ms = 10000;
// Below the user program's idleness limit of 10 s, so that it ends by itself.
const long watcher_user_sleep_ms = 9500;

// Every sample of every figure, by name, for the summary.
std::map<std::string, std::vector<double>> samples;

void record(const std::string& name, double value) { samples[name].push_back(value); }

double median_of(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

bool has(const std::string& name) { return samples.count(name) != 0 && !samples[name].empty(); }

double median(const std::string& name) { return median_of(samples[name]); }

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// ---------------------------------------------------------------------------
// Whole processes

// Starts argv with standard input and error on /dev/null and standard output
// on output (or /dev/null); the child keeps no other descriptor. With a cpu
// of 0 or more, the process and everything it starts run on that cpu alone.
pid_t spawn(const std::vector<std::string>& arguments, int output, int cpu = -1) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (cpu >= 0) {
            cpu_set_t only;
            CPU_ZERO(&only);
            CPU_SET(cpu, &only);
            sched_setaffinity(0, sizeof only, &only);
        }
        int null_device = open("/dev/null", O_RDWR);
        dup2(null_device, 0);
        dup2(output >= 0 ? output : null_device, 1);
        dup2(null_device, 2);
        syscall(SYS_close_range, 3u, ~0u, 0u);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

struct finished_process {
    double seconds = 0;  // from before the fork to the end of the process
    int status = 0;
    double cpu_ms = 0;       // the process's own CPU time, all its threads
    double tree_cpu_ms = 0;  // with that of every descendant it reaped
    std::string output;
};

// Waits for the end of pid, reads its CPU clock while it is a zombie, then
// reaps it.
void finish(pid_t pid, clock_type::time_point start, finished_process* done) {
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    done->seconds = seconds_since(start);
    clockid_t cpu_clock;
    timespec used = {0, 0};
    if (clock_getcpuclockid(pid, &cpu_clock) == 0 && clock_gettime(cpu_clock, &used) == 0)
        done->cpu_ms = used.tv_sec * 1e3 + used.tv_nsec / 1e6;
    rusage usage;
    std::memset(&usage, 0, sizeof usage);
    while (wait4(pid, &done->status, 0, &usage) < 0 && errno == EINTR) {
    }
    done->tree_cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                        (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

finished_process run_to_end(const std::vector<std::string>& arguments, bool capture, int cpu = -1) {
    finished_process done;
    int ends[2] = {-1, -1};
    if (capture && pipe2(ends, O_CLOEXEC) != 0) return done;
    clock_type::time_point start = clock_type::now();
    pid_t pid = spawn(arguments, ends[1], cpu);
    if (capture) {
        close(ends[1]);
        char buffer[4096];
        ssize_t got;
        while ((got = read(ends[0], buffer, sizeof buffer)) != 0) {
            if (got > 0)
                done.output.append(buffer, static_cast<size_t>(got));
            else if (errno != EINTR)
                break;
        }
        close(ends[0]);
    }
    finish(pid, start, &done);
    return done;
}

bool exited_with(const finished_process& done, int code) {
    return WIFEXITED(done.status) && WEXITSTATUS(done.status) == code;
}

bool has_line(const std::string& output, const std::string& line) {
    return ("\n" + output).find("\n" + line + "\n") != std::string::npos;
}

// Runs pairex until it prints line, then kills it (a limit verdict makes it
// simulate the limit without end). Returns the seconds from the start to
// the line, or a negative value when the line did not come in time.
double seconds_to_line(const std::vector<std::string>& arguments, const std::string& line,
                       double timeout_seconds) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -1;
    clock_type::time_point start = clock_type::now();
    pid_t pid = spawn(arguments, ends[1]);
    close(ends[1]);
    std::string output;
    double arrived = -1;
    while (arrived < 0 && seconds_since(start) < timeout_seconds) {
        pollfd ready = {ends[0], POLLIN, 0};
        if (poll(&ready, 1, 50) <= 0) continue;
        char buffer[4096];
        ssize_t got = read(ends[0], buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) continue;
        output.append(buffer, static_cast<size_t>(got));
        if (has_line(output, line)) arrived = seconds_since(start);
    }
    kill(pid, SIGKILL);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    close(ends[0]);
    return arrived;
}

std::vector<std::string> pairex_command(const std::string& time_limit, const std::string& memory_limit,
                                        const std::string& jury, const std::vector<std::string>& user) {
    std::vector<std::string> command = {pairex_path, time_limit, memory_limit, jury};
    command.insert(command.end(), user.begin(), user.end());
    return command;
}

std::vector<std::string> launcher_command(bool sessions, const std::string& jury,
                                          const std::vector<std::string>& user) {
    std::vector<std::string> command = {launcher_path};
    if (sessions) command.push_back("--sessions");
    command.push_back(jury);
    command.insert(command.end(), user.begin(), user.end());
    return command;
}

// invoke on a thread of its own: the debugging thread must have no other
// children than the programs it debugs.
invoke_result invoke_alone(const std::string& command_line) {
    invoke_limits limits;
    std::memset(&limits, 0, sizeof limits);
    limits.required_utilization = 0.05;
    invoke_result result;
    std::memset(&result, 0, sizeof result);
    std::thread runner([&] { invoke(command_line.c_str(), nullptr, &limits, &result, nullptr); });
    runner.join();
    return result;
}

double accuracy_goal_ms(double n) { return 2.0 + 0.005 * n; }

// ---------------------------------------------------------------------------
// Paired runs of the interactive pair

// The three ways of running a pair that the throughput compares.
enum pair_runner { by_pairex, by_launcher, by_launcher_in_sessions, runner_count };

struct pair_timing {
    double seconds[runner_count] = {0, 0, 0};
    double cpu_ms[runner_count] = {0, 0, 0};  // the whole tree
    bool right = false;
};

// The same exchange run by each runner, starting with the given one, on any
// cpu or on the given one.
pair_timing time_exchange(long count, int first, int cpu) {
    std::string jury = peer_path + " ask " + std::to_string(count);
    std::vector<std::string> user = {peer_path, "answer"};
    pair_timing timing;
    timing.right = true;
    for (int turn = 0; turn < runner_count; ++turn) {
        int which = (first + turn) % runner_count;
        std::vector<std::string> command =
            which == by_pairex ? pairex_command("60s", "1073741824", jury, user)
                               : launcher_command(which == by_launcher_in_sessions, jury, user);
        finished_process done = run_to_end(command, which == by_pairex, cpu);
        timing.seconds[which] = done.seconds;
        timing.cpu_ms[which] = done.tree_cpu_ms;
        timing.right = timing.right && exited_with(done, 0);
        if (which == by_pairex)
            timing.right = timing.right &&
                           has_line(done.output, "Jury program terminated, exit code 0") &&
                           has_line(done.output, "User program successfully terminated");
    }
    return timing;
}

int turn_counter = 0;

// ---------------------------------------------------------------------------
// Figures

// Argument: the cpu to run on, or -1 for any.
void bench_throughput(benchmark::State& state) {
    int cpu = static_cast<int>(state.range(0));
    std::string name = cpu < 0 ? "throughput" : "throughput_one_cpu";
    for (auto _ : state) {
        pair_timing timing = time_exchange(exchanges, turn_counter++ % runner_count, cpu);
        if (!timing.right) {
            state.SkipWithError("the exchange went wrong");
            break;
        }
        double ratio = timing.seconds[by_pairex] / timing.seconds[by_launcher];
        double session_ratio = timing.seconds[by_pairex] / timing.seconds[by_launcher_in_sessions];
        double cpu_ratio = timing.cpu_ms[by_pairex] / timing.cpu_ms[by_launcher];
        state.SetIterationTime(timing.seconds[by_pairex]);
        state.counters["pairex_s"] = timing.seconds[by_pairex];
        state.counters["launcher_s"] = timing.seconds[by_launcher];
        state.counters["sessions_s"] = timing.seconds[by_launcher_in_sessions];
        state.counters["ratio"] = ratio;
        state.counters["sessions_ratio"] = session_ratio;
        state.counters["cpu_ratio"] = cpu_ratio;
        record(name + ".pairex_s", timing.seconds[by_pairex]);
        record(name + ".launcher_s", timing.seconds[by_launcher]);
        record(name + ".sessions_s", timing.seconds[by_launcher_in_sessions]);
        record(name + ".ratio", ratio);
        record(name + ".sessions_ratio", session_ratio);
        record(name + ".cpu_ratio", cpu_ratio);
    }
}

void bench_fixed_cost(benchmark::State& state) {
    std::string jury = peer_path + " exit 0";
    std::vector<std::string> user = {peer_path, "exit", "0"};
    for (auto _ : state) {
        bool pairex_first = turn_counter++ % 2 == 0;
        finished_process under_pairex, under_launcher;
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == pairex_first)
                under_pairex = run_to_end(pairex_command("1s", "67108864", jury, user), true);
            else
                under_launcher = run_to_end(launcher_command(false, jury, user), false);
        }
        if (!exited_with(under_pairex, 0) || !exited_with(under_launcher, 0) ||
            !has_line(under_pairex.output, "User program successfully terminated")) {
            state.SkipWithError("the instant pair went wrong");
            break;
        }
        double added_ms = (under_pairex.seconds - under_launcher.seconds) * 1e3;
        state.SetIterationTime(under_pairex.seconds);
        state.counters["pairex_ms"] = under_pairex.seconds * 1e3;
        state.counters["launcher_ms"] = under_launcher.seconds * 1e3;
        state.counters["added_ms"] = added_ms;
        state.counters["pairex_cpu_ms"] = under_pairex.cpu_ms;
        record("fixed.pairex_ms", under_pairex.seconds * 1e3);
        record("fixed.launcher_ms", under_launcher.seconds * 1e3);
        record("fixed.added_ms", added_ms);
        record("fixed.pairex_cpu_ms", under_pairex.cpu_ms);
    }
}

void bench_time_limit_reaction(benchmark::State& state) {
    std::vector<std::string> command =
        pairex_command(std::to_string(time_limit_ms), "0", peer_path + " exit 0", {peer_path, "spin"});
    for (auto _ : state) {
        double seconds = seconds_to_line(command, "Time limit exceeded", 30);
        if (seconds < 0) {
            state.SkipWithError("no \"Time limit exceeded\" line");
            break;
        }
        state.SetIterationTime(seconds);
        state.counters["to_verdict_ms"] = seconds * 1e3;
        record("time_limit.to_verdict_ms", seconds * 1e3);
    }
}

void bench_memory_peak(benchmark::State& state) {
    char counter_path[] = "/tmp/pairex_bench_eatXXXXXX";
    int fd = mkstemp(counter_path);
    if (fd < 0) {
        state.SkipWithError("no counter file");
        return;
    }
    std::vector<std::string> command = pairex_command(
        "0", std::to_string(memory_limit_bytes), peer_path + " exit 0", {peer_path, "eat", counter_path});
    for (auto _ : state) {
        if (ftruncate(fd, 0) != 0) break;
        double seconds = seconds_to_line(command, "Memory limit exceeded", 30);
        uint64_t touched = 0;
        if (seconds < 0 || pread(fd, &touched, sizeof touched, 0) != sizeof touched) {
            state.SkipWithError("no \"Memory limit exceeded\" line");
            break;
        }
        double peak_mib = touched / (1024.0 * 1024.0);
        state.SetIterationTime(seconds);
        state.counters["peak_mib"] = peak_mib;
        state.counters["to_verdict_ms"] = seconds * 1e3;
        record("memory.peak_mib", peak_mib);
    }
    close(fd);
    unlink(counter_path);
}

void bench_cpu_accuracy(benchmark::State& state) {
    long n = state.range(0);
    std::string command = "\"" + peer_path + "\" burn " + std::to_string(n);
    for (auto _ : state) {
        invoke_result result = invoke_alone(command);
        if (result.outcome != INVOKE_OK || result.exit_code != 0) {
            state.SkipWithError("the burner did not run to its end");
            break;
        }
        double error_ms = static_cast<double>(result.cpu_time) - static_cast<double>(n);
        state.SetIterationTime(result.cpu_time / 1e3);
        state.counters["reported_ms"] = result.cpu_time;
        state.counters["error_ms"] = error_ms;
        state.counters["goal_ms"] = accuracy_goal_ms(static_cast<double>(n));
        record("accuracy." + std::to_string(n) + ".reported_ms", result.cpu_time);
        record("accuracy." + std::to_string(n) + ".error_ms", error_ms);
    }
}

void bench_watcher_cost(benchmark::State& state) {
    std::string jury = peer_path + " sleep " + std::to_string(watcher_jury_sleep_ms);
    std::vector<std::string> user = {peer_path, "sleep", std::to_string(watcher_user_sleep_ms)};
    for (auto _ : state) {
        // Both at once: they only sleep, so neither slows the other.
        finished_process under_launcher;
        std::thread beside(
            [&] { under_launcher = run_to_end(launcher_command(false, jury, user), false); });
        finished_process under_pairex = run_to_end(pairex_command("0", "0", jury, user), true);
        beside.join();
        if (!exited_with(under_pairex, 0) ||
            !has_line(under_pairex.output, "User program successfully terminated")) {
            state.SkipWithError("the sleeping pair went wrong");
            break;
        }
        state.SetIterationTime(under_pairex.seconds);
        state.counters["pairex_cpu_ms"] = under_pairex.cpu_ms;
        state.counters["launcher_cpu_ms"] = under_launcher.cpu_ms;
        state.counters["run_s"] = under_pairex.seconds;
        record("watcher.pairex_cpu_ms", under_pairex.cpu_ms);
        record("watcher.launcher_cpu_ms", under_launcher.cpu_ms);
        record("watcher.run_s", under_pairex.seconds);
    }
}

// Keeps parallel_runs runs of the example problem going, and checks each
// verdict: the right solution, one that asks too many questions and one that
// crashes, in turn.
struct example_load {
    std::atomic<bool> stop{false};
    std::atomic<int> runs{0};
    std::atomic<int> wrong{0};
    std::mutex mutex;
    std::string first_wrong;
};

bool example_verdict_right(int kind, const finished_process& done) {
    const std::string& out = done.output;
    switch (kind) {
        case 0:  // accepted
            return exited_with(done, 0) && has_line(out, "Jury program terminated, exit code 0") &&
                   has_line(out, "User program successfully terminated") &&
                   has_line(out, "  exit code:     0");
        case 1:  // rejected by the jury, which stops the solution
            return exited_with(done, 0) && has_line(out, "Jury program terminated, exit code 1") &&
                   has_line(out,
                            "Jury program terminated with non-zero code, terminating user program") &&
                   has_line(out, "User program successfully terminated");
        default:  // crashed, and the crash is raised again
            return WIFSIGNALED(done.status) && WTERMSIG(done.status) == SIGSEGV &&
                   has_line(out, "Crash") && has_line(out, "  EXCEPTION_ACCESS_VIOLATION") &&
                   has_line(out, "Throwing exception down");
    }
}

void example_slot(example_load* load, int slot) {
    std::mt19937 random(static_cast<unsigned>(slot) * 7919u + 1);
    for (int turn = slot; !load->stop.load(); ++turn) {
        int kind = turn % 4 == 3 ? 2 : turn % 4 == 2 ? 1 : 0;
        std::string jury;
        std::string solution;
        if (kind == 1) {
            jury = guess_jury_path + " 1000 999";
            solution = guess_too_many_path;
        } else {
            jury = guess_jury_path + " 1000000000 " + std::to_string(1 + random() % 1000000000);
            solution = kind == 0 ? guess_solution_path : guess_crash_path;
        }
        finished_process done = run_to_end(pairex_command("2s", "268435456", jury, {solution}), true);
        load->runs++;
        if (!example_verdict_right(kind, done)) {
            load->wrong++;
            std::lock_guard<std::mutex> lock(load->mutex);
            if (load->first_wrong.empty()) load->first_wrong = solution + ":\n" + done.output;
        }
    }
}

void bench_parallel(benchmark::State& state) {
    const int rounds = 5;
    for (auto _ : state) {
        example_load load;
        std::vector<std::thread> slots;
        clock_type::time_point start = clock_type::now();
        for (int slot = 0; slot < parallel_runs; ++slot) slots.emplace_back(example_slot, &load, slot);

        // The measured pair shares one cpu with its part of the load.
        std::vector<double> ratios, session_ratios, errors;
        bool right = true;
        for (int round = 0; round < rounds; ++round) {
            pair_timing timing = time_exchange(exchanges_under_load, round % runner_count, 0);
            right = right && timing.right;
            ratios.push_back(timing.seconds[by_pairex] / timing.seconds[by_launcher]);
            session_ratios.push_back(timing.seconds[by_pairex] / timing.seconds[by_launcher_in_sessions]);
            invoke_result result = invoke_alone("\"" + peer_path + "\" burn 500");
            right = right && result.outcome == INVOKE_OK;
            errors.push_back(static_cast<double>(result.cpu_time) - 500.0);
        }
        load.stop = true;
        for (std::thread& slot : slots) slot.join();
        double seconds = seconds_since(start);
        if (!right) {
            state.SkipWithError("a measured run under load went wrong");
            break;
        }
        if (load.wrong > 0)
            std::fprintf(stderr, "first wrong verdict under load, %s\n", load.first_wrong.c_str());
        state.SetIterationTime(seconds);
        state.counters["runs"] = load.runs.load();
        state.counters["wrong"] = load.wrong.load();
        state.counters["ratio"] = median_of(ratios);
        state.counters["sessions_ratio"] = median_of(session_ratios);
        state.counters["error_500_ms"] = median_of(errors);
        record("parallel.runs", load.runs.load());
        record("parallel.wrong", load.wrong.load());
        record("parallel.ratio", median_of(ratios));
        record("parallel.sessions_ratio", median_of(session_ratios));
        record("parallel.error_500_ms", median_of(errors));
        record("parallel.seconds", seconds);
    }
}

// What one poll of the engine costs its debugging thread: the callback runs
// on that thread once per poll and reads the thread's own CPU clock there.
struct poll_clock {
    int polls = 0;
    double first_ms = 0;
    double last_ms = 0;
};

poll_clock* current_poll_clock = nullptr;

uint8_t count_poll(const invoke_status*) {
    timespec used;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    double now_ms = used.tv_sec * 1e3 + used.tv_nsec / 1e6;
    if (current_poll_clock->polls++ == 0) current_poll_clock->first_ms = now_ms;
    current_poll_clock->last_ms = now_ms;
    return 0;
}

void bench_poll_cost(benchmark::State& state) {
    std::string command = "\"" + peer_path + "\" sleep 3000";
    for (auto _ : state) {
        poll_clock clock;
        current_poll_clock = &clock;
        invoke_limits limits;
        std::memset(&limits, 0, sizeof limits);
        limits.required_utilization = 0.05;
        invoke_result result;
        std::memset(&result, 0, sizeof result);
        std::thread runner([&] { invoke(command.c_str(), nullptr, &limits, &result, count_poll); });
        runner.join();
        current_poll_clock = nullptr;
        if (result.outcome != INVOKE_OK || clock.polls < 10) {
            state.SkipWithError("the sleeper did not run to its end");
            break;
        }
        double per_poll_us = (clock.last_ms - clock.first_ms) * 1e3 / (clock.polls - 1);
        state.SetIterationTime(per_poll_us / 1e6);
        state.counters["polls"] = clock.polls;
        state.counters["cpu_us_per_poll"] = per_poll_us;
        record("poll.cpu_us", per_poll_us);
        record("poll.per_s", clock.polls / (result.wall_time / 1e3));
    }
}

// ---------------------------------------------------------------------------
// Summary

std::string machine() {
    std::string model = "unknown processor";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.compare(0, 10, "model name") == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    long memory_kib = 0;
    std::ifstream meminfo("/proc/meminfo");
    for (std::string line; std::getline(meminfo, line);)
        if (line.compare(0, 9, "MemTotal:") == 0) memory_kib = std::atol(line.c_str() + 9);
    utsname names;
    uname(&names);
    char text[512];
    std::snprintf(text, sizeof text, "%s, %ld cores, %.1f GiB, Linux %s", model.c_str(),
                  sysconf(_SC_NPROCESSORS_ONLN), memory_kib / 1048576.0, names.release);
    return text;
}

void row(const char* figure, const std::string& measured, const std::string& goal, const char* met) {
    std::printf("| %-47s | %-52s | %-24s | %-3s |\n", figure, measured.c_str(), goal.c_str(), met);
}

const char* met(bool goal_met) { return goal_met ? "yes" : "no"; }

std::string format(const char* pattern, double a, double b = 0, double c = 0) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

void print_summary() {
    std::printf("\nMachine: %s\n", machine().c_str());
    std::printf("Medians over the repetitions of each figure.\n\n");
    row("Figure", "Measured", "Goal", "Met");
    std::printf("|%s|%s|%s|%s|\n", std::string(49, '-').c_str(), std::string(54, '-').c_str(),
                std::string(26, '-').c_str(), std::string(5, '-').c_str());
    for (const char* name : {"throughput", "throughput_one_cpu"}) {
        std::string key = name;
        if (!has(key + ".ratio")) continue;
        bool one_cpu = key == "throughput_one_cpu";
        row(one_cpu ? "1. the same, everything on one cpu" : "1. 200000 exchanges, pairex / launcher",
            format("%.3f s / %.3f s = %.3f", median(key + ".pairex_s"), median(key + ".launcher_s"),
                   median(key + ".ratio")),
            "ratio <= 1.05", met(median(key + ".ratio") <= 1.05));
        row(one_cpu ? "1. one cpu, against a session per program" : "1. against a session per program",
            format("%.3f s / %.3f s = %.3f", median(key + ".pairex_s"), median(key + ".sessions_s"),
                   median(key + ".sessions_ratio")),
            "(explains the above)", "-");
        if (!one_cpu)
            row("1. CPU time of the whole tree, against launcher",
                format("ratio %.3f", median(key + ".cpu_ratio")), "(explains the above)", "-");
    }
    if (has("fixed.added_ms")) {
        row("2. Fixed cost of a run, added to launcher",
            format("%.2f ms (pairex %.2f ms, launcher %.2f ms)", median("fixed.added_ms"),
                   median("fixed.pairex_ms"), median("fixed.launcher_ms")),
            "< 5 ms", met(median("fixed.added_ms") < 5));
    }
    if (has("time_limit.to_verdict_ms")) {
        row("3. Busy loop, 1000 ms limit: start to verdict",
            format("%.0f ms", median("time_limit.to_verdict_ms")), "<= 1150 ms",
            met(median("time_limit.to_verdict_ms") <= 1150));
    }
    if (has("memory.peak_mib")) {
        row("3. Memory eater, 64 MiB limit: peak touched", format("%.0f MiB", median("memory.peak_mib")),
            "< 1024 MiB", met(median("memory.peak_mib") < 1024));
    }
    for (long n : {50L, 500L, 2000L}) {
        std::string key = "accuracy." + std::to_string(n);
        if (!has(key + ".error_ms")) continue;
        double error = median(key + ".error_ms");
        double worst = 0;
        for (double value : samples[key + ".error_ms"]) worst = std::max(worst, std::abs(value));
        std::string figure = "4. cpu_time of invoke, N = " + std::to_string(n) + " ms";
        row(figure.c_str(),
            format("%.0f ms, error %+.0f ms (worst %.0f)", median(key + ".reported_ms"), error, worst),
            format("|error| <= %.2f ms", accuracy_goal_ms(static_cast<double>(n))),
            met(std::abs(error) <= accuracy_goal_ms(static_cast<double>(n))));
    }
    if (has("watcher.pairex_cpu_ms")) {
        row("5. pairex CPU, both programs asleep 10 s",
            format("%.1f ms (launcher %.1f ms, run %.1f s)", median("watcher.pairex_cpu_ms"),
                   median("watcher.launcher_cpu_ms"), median("watcher.run_s")),
            "< 20 ms", met(median("watcher.pairex_cpu_ms") < 20));
    }
    if (has("poll.cpu_us")) {
        row("5. engine's own CPU per poll (one program)",
            format("%.0f us, %.1f polls/s: %.1f ms per 10 s", median("poll.cpu_us"), median("poll.per_s"),
                   median("poll.cpu_us") * median("poll.per_s") * 10 / 1e3),
            "(explains the above)", "-");
    }
    if (has("parallel.runs")) {
        row("6. 16 example runs at once: verdicts",
            format("%.0f runs, %.0f wrong", median("parallel.runs"), median("parallel.wrong")), "0 wrong",
            met(median("parallel.wrong") == 0));
        row("6. under that load, one cpu: 60000 exchanges",
            format("ratio %.3f", median("parallel.ratio")), "<= 1.155 (1.05 + 10 %)",
            met(median("parallel.ratio") <= 1.05 * 1.1));
        row("6. the same, against a session per program",
            format("ratio %.3f", median("parallel.sessions_ratio")), "(explains the above)", "-");
        row("6. under that load: N = 500 ms error", format("%+.0f ms", median("parallel.error_500_ms")),
            "<= 4.95 ms (4.5 + 10 %)",
            met(std::abs(median("parallel.error_500_ms")) <= accuracy_goal_ms(500) * 1.1));
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A pipe whose reader is gone must not end the bench.
    signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    auto whole_run = [](benchmark::internal::Benchmark* b, int repetitions) {
        b->Iterations(1)
            ->Repetitions(repetitions)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->DisplayAggregatesOnly(true);
    };
    whole_run(benchmark::RegisterBenchmark("fixed_cost", bench_fixed_cost), 41);
    whole_run(benchmark::RegisterBenchmark("time_limit_reaction", bench_time_limit_reaction), 5);
    whole_run(benchmark::RegisterBenchmark("memory_peak", bench_memory_peak), 5);
    whole_run(
        benchmark::RegisterBenchmark("cpu_accuracy", bench_cpu_accuracy)->Arg(50)->Arg(500)->Arg(2000),
        5);
    whole_run(benchmark::RegisterBenchmark("throughput", bench_throughput)->Arg(-1)->Arg(0), 5);
    whole_run(benchmark::RegisterBenchmark("watcher_cost", bench_watcher_cost), 3);
    benchmark::RegisterBenchmark("poll_cost", bench_poll_cost)
        ->Iterations(1)
        ->Repetitions(3)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond)
        ->DisplayAggregatesOnly(true);
    whole_run(benchmark::RegisterBenchmark("parallel_16", bench_parallel), 1);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_summary();
    return 0;
}
