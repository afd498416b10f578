// The console lock and the returning paths of the verdict reproduction.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform.h"
#include "reproduce.h"
#include "run.h"
#include "simulate.h"

namespace {

TEST(console_lock, excludes_a_second_holder_until_released) {
    lock_console();
    EXPECT_EQ(1, console_lock.load());
    std::atomic<bool> taken(false);
    std::thread other([&taken] {
        lock_console();
        taken.store(true);
        unlock_console();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(taken.load());
    unlock_console();
    other.join();
    EXPECT_TRUE(taken.load());
    EXPECT_EQ(0, console_lock.load());
}

TEST(reproduce_verdict, returns_the_exit_code_silently_for_the_other_outcomes) {
    struct row {
        int32_t outcome;
        uint32_t exit_code;
        int status;
    };
    const row rows[] = {
        {INVOKE_OK, 3, 3},
        {INVOKE_OK, 0, 0},
        {INVOKE_OK, 4294967295u, -1},
        {INVOKE_SECURITY_VIOLATION, 0, 0},
        {INVOKE_FAILED, 0, 0},
        {-1, 5, 5},
        {2, 6, 6},
    };
    for (const row& r : rows) {
        invoke_result result = {};
        result.outcome = r.outcome;
        result.exit_code = r.exit_code;
        testing::internal::CaptureStdout();
        int status = reproduce_verdict(result);
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.status, status) << r.outcome;
        EXPECT_EQ("", printed) << r.outcome;
    }
}

TEST(simulate_memory_limit, blocks_are_new_and_fully_written) {
    const size_t block_size = 1048576;
    unsigned char* first = grow_memory_block();
    unsigned char* second = grow_memory_block();
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    EXPECT_TRUE(first + block_size <= second || second + block_size <= first);
    for (unsigned char* block : {first, second}) {
        size_t written = 0;
        for (size_t i = 0; i < block_size; ++i) written += block[i] == 0xCA ? 1 : 0;
        EXPECT_EQ(block_size, written);
    }
    HeapFree(GetProcessHeap(), 0, first);
    HeapFree(GetProcessHeap(), 0, second);
}

}  // namespace
