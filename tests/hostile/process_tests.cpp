// Programs that try to start processes behind the engine's back, or to take
// the machine's memory, run through invoke: the verdict, nothing of the run
// left alive, and no descriptor of the caller inside the program.
#include <gtest/gtest.h>

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include <string>
#include <vector>

#include "hostile_support.h"

namespace {

bool has_event(const process_record& record, const std::string& event) {
    for (const std::string& seen : record.events)
        if (seen == event) return true;
    return false;
}

// Records of processes that the program managed to start and that ran.
std::vector<process_record> started_processes(const std::vector<process_record>& records) {
    std::vector<process_record> started;
    for (const process_record& record : records)
        if (record.role != "user") started.push_back(record);
    return started;
}

struct escape_case {
    const char* how;
    int refused_with;  // errno of the refused attempt; 0 when a child is made
    bool compat;       // through the 32-bit system call entry
};

// Whether this kernel runs 32-bit system calls of a 64-bit process (it may
// be built or booted without them, and int 0x80 then kills the caller).
bool compat_entry_works() {
#if defined(__x86_64__)
    pid_t child = fork();
    if (child == 0) {
        long result;
        asm volatile("int $0x80" : "=a"(result) : "a"(20L) : "memory");  // getpid
        _exit(static_cast<int>(result) == getpid() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
#else
    return false;
#endif
}

const escape_case escape_cases[] = {
    {"clone_untraced", EPERM, false},
    {"clone_untraced_vfork", EPERM, false},
    {"clone3", ENOSYS, false},
    {"compat_clone_untraced", EPERM, true},
    {"compat_clone3", ENOSYS, true},
    {"vfork_exec", 0, false},
    {"posix_spawn", 0, false},
};

// A started process sleeps this long; the program waits for it.
const long child_ms = 1000;

TEST(process_escape, no_process_runs_unsupervised) {
    bool compat = compat_entry_works();
    if (!compat) std::printf("skipping the 32-bit system call cases: this kernel does not run them\n");
    for (const escape_case& attempt : escape_cases) {
        if (attempt.compat && !compat) continue;
        for (bool allow_children : {false, true}) {
            SCOPED_TRACE(std::string(attempt.how) +
                         (allow_children ? ", children allowed" : ", children refused"));
            record_dir dir;
            invoke_limits limits = plain_limits();
            limits.flags = allow_children ? INVOKE_ALLOW_CHILDREN : 0;
            invoke_run run = invoke_alone(
                hostile(dir, "user",
                        std::string("escape ") + attempt.how + " " + std::to_string(child_ms)),
                limits);

            std::vector<process_record> records = read_records(dir);
            std::vector<process_record> main = with_role(records, "user");
            ASSERT_EQ(main.size(), 1u) << "the program did not start";
            EXPECT_EQ(leaked_descriptors_alone(main[0]), std::vector<std::string>());
            std::vector<process_record> started = started_processes(records);

            if (attempt.refused_with != 0) {
                // Refused whatever the flags say: the call fails and nothing starts.
                EXPECT_TRUE(has_event(
                    main[0], std::string(attempt.how) + " -1 " + std::to_string(attempt.refused_with)))
                    << describe(main[0].events);
                EXPECT_TRUE(started.empty()) << "a process ran: " << started[0].role;
                EXPECT_EQ(run.result.outcome, INVOKE_OK);
                EXPECT_EQ(run.result.exit_code, 0u);
            } else if (!allow_children) {
                // Stopped at its creation, before it could run anything of its own.
                EXPECT_EQ(run.result.outcome, INVOKE_SECURITY_VIOLATION);
                ASSERT_NE(run.result.message, nullptr);
                EXPECT_STREQ(run.result.message, "Child process created");
                EXPECT_EQ(run.result.terminated, 1);
                EXPECT_TRUE(started.empty()) << "a process ran: " << started[0].role;
            } else {
                // Seen, debugged by the same thread, and waited for.
                EXPECT_EQ(run.result.outcome, INVOKE_OK);
                EXPECT_EQ(run.result.exit_code, 0u);
                EXPECT_EQ(run.result.terminated, 0);
                ASSERT_EQ(started.size(), 1u);
                EXPECT_EQ(started[0].role, "user exec_child");
                EXPECT_EQ(started[0].tracer, run.debugger_tid);
                EXPECT_EQ(started[0].session, main[0].session);
                EXPECT_EQ(leaked_descriptors_alone(started[0]), std::vector<std::string>());
                EXPECT_GE(run.wall_ms, child_ms);
            }
            EXPECT_EQ(survivors(dir), "");
        }
    }
}

TEST(orphaned_grandchild, is_debugged_and_waited_for_when_children_are_allowed) {
    record_dir dir;
    invoke_limits limits = plain_limits();
    limits.flags = INVOKE_ALLOW_CHILDREN;
    const long grandchild_ms = 1000;
    invoke_run run =
        invoke_alone(hostile(dir, "user", "grandchild " + std::to_string(grandchild_ms)), limits);
    EXPECT_EQ(run.result.outcome, INVOKE_OK);
    EXPECT_EQ(run.result.exit_code, 0u);
    // The program and its child end at once; the orphan lives on alone.
    EXPECT_GE(run.wall_ms, grandchild_ms) << "returned before the orphan ended";

    std::vector<process_record> records = read_records(dir);
    std::vector<process_record> orphans = with_role(records, "user grandchild");
    ASSERT_EQ(orphans.size(), 1u);
    EXPECT_EQ(orphans[0].tracer, run.debugger_tid);
    EXPECT_EQ(leaked_descriptors_alone(orphans[0]), std::vector<std::string>());
    EXPECT_EQ(with_role(records, "user child").size(), 1u);
    EXPECT_EQ(survivors(dir), "");
}

TEST(memory_bomb, is_stopped_at_the_memory_limit_well_before_its_own_ceiling) {
    record_dir dir;
    invoke_limits limits = plain_limits();
    limits.memory_limit = 64u * 1024 * 1024;
    invoke_run run = invoke_alone(hostile(dir, "user", "memory_bomb"), limits);
    EXPECT_EQ(run.result.outcome, INVOKE_MEMORY_LIMIT);
    EXPECT_EQ(run.result.terminated, 1);
    EXPECT_GT(run.result.peak_memory, limits.memory_limit);

    std::vector<process_record> main = with_role(read_records(dir), "user");
    ASSERT_EQ(main.size(), 1u);
    // The bomb stops growing by itself at 2 GiB: reaching that means the limit did not act.
    EXPECT_FALSE(has_event(main[0], "memory_ceiling"));
    EXPECT_EQ(leaked_descriptors_alone(main[0]), std::vector<std::string>());
    EXPECT_EQ(survivors(dir), "");
}

}  // namespace
