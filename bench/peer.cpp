// The programs that the benchmarks run, as jury program or as user program.
// The first argument chooses what it does:
//   ask <count>     jury: asks count questions one at a time ("<i>" and waits
//                   for "<i+1>"), then writes "-1"; exit 0 when every answer
//                   was right, else 1
//   answer          user: answers each question n with n + 1 until "-1"
//   exit <code>     exits at once with code
//   sleep <ms>      sleeps ms, then exits 0
//   burn <ms>       uses the processor until its own CPU clock reads ms
//   spin            uses the processor without end
//   eat <file>      takes and touches memory as fast as it can; after every
//                   MiB it stores the bytes touched so far in the first eight
//                   bytes of file (shared, so that they outlive the program)
// A safety alarm ends every mode after a few minutes.
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const unsigned safety_alarm_seconds = 300;
const size_t mebibyte = 1024 * 1024;
// Far beyond any limit the benchmarks set; growth stops here if nothing stops it.
const size_t eat_ceiling = size_t(16) * 1024 * mebibyte;

long number(int argc, char* argv[], int index) { return index < argc ? std::atol(argv[index]) : 0; }

double cpu_milliseconds() {
    timespec used;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return used.tv_sec * 1e3 + used.tv_nsec / 1e6;
}

int ask(long count) {
    char line[64];
    for (long i = 0; i < count; ++i) {
        std::printf("%ld\n", i);
        std::fflush(stdout);
        if (std::fgets(line, sizeof line, stdin) == nullptr || std::atol(line) != i + 1) return 1;
    }
    std::printf("-1\n");
    std::fflush(stdout);
    return 0;
}

int answer() {
    char line[64];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        long question = std::atol(line);
        if (question < 0) return 0;
        std::printf("%ld\n", question + 1);
        std::fflush(stdout);
    }
    return 1;
}

int eat(const char* counter_path) {
    int fd = open(counter_path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, sizeof(uint64_t)) != 0) return 2;
    void* shared = mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (shared == MAP_FAILED) return 2;
    auto* touched = static_cast<std::atomic<uint64_t>*>(shared);
    touched->store(0);
    const size_t chunk = 64 * mebibyte;
    size_t total = 0;
    while (total < eat_ceiling) {
        void* block = mmap(nullptr, chunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) break;
        for (size_t offset = 0; offset < chunk; offset += mebibyte) {
            std::memset(static_cast<char*>(block) + offset, 0xCA, mebibyte);
            total += mebibyte;
            touched->store(total, std::memory_order_relaxed);
        }
    }
    for (;;) pause();
}

}  // namespace

int main(int argc, char* argv[]) {
    alarm(safety_alarm_seconds);
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "ask") return ask(number(argc, argv, 2));
    if (mode == "answer") return answer();
    if (mode == "exit") return static_cast<int>(number(argc, argv, 2));
    if (mode == "sleep") {
        long milliseconds = number(argc, argv, 2);
        timespec pause_for = {milliseconds / 1000, (milliseconds % 1000) * 1000000};
        while (nanosleep(&pause_for, &pause_for) != 0) {
        }
        return 0;
    }
    if (mode == "burn") {
        double until = static_cast<double>(number(argc, argv, 2));
        while (cpu_milliseconds() < until) {
        }
        return 0;
    }
    if (mode == "spin") {
        for (volatile unsigned long i = 0;; i = i + 1) {
        }
    }
    if (mode == "eat" && argc > 2) return eat(argv[2]);
    std::fprintf(stderr, "peer: unknown mode\n");
    return 64;
}
