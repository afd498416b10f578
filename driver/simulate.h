// The actions that reproduce a verdict on pairex's own process. Kept apart
// from the code that reads the result record: the Windows headers define
// exception_code as a macro, which would rename that record's field.
#ifndef PAIREX_DRIVER_SIMULATE_H
#define PAIREX_DRIVER_SIMULATE_H

#include <cstdint>

// Each announces itself on the console and never returns.
[[noreturn]] void simulate_time_limit();
[[noreturn]] void simulate_memory_limit();
[[noreturn]] void simulate_idleness_limit();

// Announces the exception and raises it, continuable and without arguments.
// Returns only if something continued it.
void throw_exception_down(uint32_t code);

// One step of the memory simulation: a new zero-filled 1 MiB block from the
// process heap with every byte written as 0xCA, never released; NULL when
// the heap refused it (nothing is written then).
unsigned char* grow_memory_block();

#endif
