#include "reproduce.h"

#include "simulate.h"

int reproduce_verdict(const invoke_result& result) {
    switch (result.outcome) {
    case INVOKE_TIME_LIMIT:
        simulate_time_limit();
    case INVOKE_MEMORY_LIMIT:
        simulate_memory_limit();
    case INVOKE_IDLENESS_LIMIT:
        simulate_idleness_limit();
    case INVOKE_CRASH:
        throw_exception_down(result.exception_code);
        break;
    default:
        break;
    }
    return static_cast<int>(result.exit_code);
}
