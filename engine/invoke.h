/* Public interface of the invocation engine: run one program as a debugged
   process under CPU-time, memory and idleness limits and report how its run
   ended. Usable from C and C++. */
#ifndef PAIREX_INVOKE_H
#define PAIREX_INVOKE_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(INVOKE_BUILDING)
#    define INVOKE_API __declspec(dllexport)
#  else
#    define INVOKE_API
#  endif
#elif defined(INVOKE_BUILDING)
#  define INVOKE_API __attribute__((visibility("default")))
#else
#  define INVOKE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Outcome codes of invoke_result.outcome. */
#define INVOKE_OK 1
#define INVOKE_FAILED 0
#define INVOKE_MEMORY_LIMIT (-3)
#define INVOKE_CRASH (-4)
#define INVOKE_IDLENESS_LIMIT (-5)
#define INVOKE_TIME_LIMIT (-6)
#define INVOKE_SECURITY_VIOLATION (-7)

/* Bits of invoke_limits.flags; all other bits are ignored. */
#define INVOKE_REDIRECT_STDIO 1u
#define INVOKE_ALLOW_CHILDREN 2u
#define INVOKE_IGNORE_FIRST_CHANCE 4u

/* Values of invoke_status.state. */
#define INVOKE_STATE_RUNNING 1
#define INVOKE_STATE_CRASHED 2

/* The calling thread's last-error value after a failed argument check. */
#define INVOKE_ERROR_NULL_PARAMETER 0x20000001u
#define INVOKE_ERROR_BAD_UTILIZATION 0x20000002u

/* Times are milliseconds, memory amounts bytes; a limit of 0 means none and
   a limit is exceeded only by a strictly greater value. Handles are the
   platform's object handles (file descriptors wrapped by the engine's own
   handle objects on Linux). */
typedef struct invoke_limits {
    const char* account;      /* "domain\\user", "user", or NULL for the caller */
    const char* password;     /* NULL counts as the empty password */
    uint32_t time_limit;      /* CPU time, kernel plus user */
    uint32_t memory_limit;    /* peak working set */
    uint32_t idleness_limit;  /* longest unbroken idle stretch */
    double required_utilization; /* fraction of one processor, 0..1 */
    void* std_input;          /* used with INVOKE_REDIRECT_STDIO */
    void* std_output;
    void* std_error;
    uint32_t flags;
} invoke_limits;

typedef struct invoke_result {
    uint8_t terminated;       /* the engine ended the program */
    int32_t outcome;
    uint32_t exit_code;
    uint32_t exception_code;  /* written only when an exception counted as a crash */
    uint32_t cpu_time;
    uint32_t wall_time;
    uint32_t peak_memory;
    const char* message;      /* never released by the caller */
} invoke_result;

typedef struct invoke_status {
    int32_t state;
    uint32_t cpu_time;
    uint32_t wall_time;
    uint32_t memory;
    uint32_t peak_memory;
    uint32_t idle_time;
    double utilization;
} invoke_status;

/* Asked once per poll while no stop is decided; non-zero asks for a stop. */
typedef uint8_t (*invoke_cancel_fn)(const invoke_status* status);

/* Runs command_line to its end under limits and fills result. Blocks the
   calling thread, which becomes the debugger of the program. */
INVOKE_API void invoke(const char* command_line, const char* current_directory,
                       const invoke_limits* limits, invoke_result* result,
                       invoke_cancel_fn cancel);

#ifdef __cplusplus
}
#endif

#endif
