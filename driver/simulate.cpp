#include "simulate.h"

#include "console.h"
#include "platform.h"

namespace {

const SIZE_T block_size = 1048576;
const unsigned char fill_byte = 0xCA;
const DWORD idle_sleep = 1000;

}  // namespace

void simulate_time_limit() {
    print_line("Simulating time limit");
    // The volatile counter keeps the loop a real one: an empty loop without
    // side effects may be assumed to end and be dropped.
    volatile unsigned counter = 0;
    for (;;) counter = counter + 1;
}

void simulate_memory_limit() {
    print_line("Simulating memory limit");
    for (;;) grow_memory_block();
}

void simulate_idleness_limit() {
    print_line("Simulating idleness limit");
    for (;;) Sleep(idle_sleep);
}

void throw_exception_down(uint32_t code) {
    print_line("Throwing exception down");
    RaiseException(code, 0, 0, nullptr);
}

unsigned char* grow_memory_block() {
    unsigned char* block =
        static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, block_size));
    if (block == nullptr) return nullptr;
    // Written through a volatile pointer so that the stores into a block that
    // is never read again stay: they are what puts its pages to use.
    volatile unsigned char* bytes = block;
    for (SIZE_T i = 0; i < block_size; ++i) bytes[i] = fill_byte;
    return block;
}
