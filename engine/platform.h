// The process services that the engine and the driver call, under their
// Windows names. On Windows these are the system's own; elsewhere they are
// this project's layer on top of POSIX, ptrace and /proc (platform_linux.cpp).
// Nothing outside this header and the layers knows which one is in use.
#ifndef PAIREX_PLATFORM_H
#define PAIREX_PLATFORM_H

#if defined(_WIN32)

#include <windows.h>
#include <psapi.h>

// <excpt.h> defines exception_code as a macro for its SEH intrinsic; here it
// is a field of invoke_result.
#undef exception_code

#else

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// How the Linux layer maps the Windows services (where it differs):
//
// Processes. CreateProcessA splits the command line by the Microsoft C
//   runtime rules and runs the first argument (searched in PATH when it has no
//   slash) with execve: no shell. The outcome of the exec is known when it
//   returns; a created process is held at its creation event. CREATE_NEW_CONSOLE
//   puts it in a process group of its own. Judged processes start with default signal
//   dispositions, an empty signal mask, and a seccomp filter that refuses
//   clone(CLONE_UNTRACED) and clone3 (which makes libc fall back to clone), so
//   that no process escapes the debugger. DEBUG_PROCESS is required.
// Handles. Inheritable handles are descriptors without FD_CLOEXEC. With
//   inheritance on the program gets them all and the three STARTUPINFO handles
//   as 0, 1, 2; with it off, it gets none and /dev/null as 0, 1, 2.
// Debug events. Only the thread that created a process receives its events
//   (ptrace tracer thread, __WNOTHREAD); that thread must have no other children
//   of its own. WaitForDebugEvent blocks in waitpid and is woken by a
//   per-thread timer signal (SIGRTMAX-2, a no-op handler installed once).
//   Events: CREATE_PROCESS (main process after its exec; every forked process at
//   its creation), CREATE_THREAD, EXIT_THREAD, EXIT_PROCESS (once per process),
//   EXCEPTION for the fault signals below. No DLL or debug-string events; hFile
//   is always NULL. Other signals go to the program without an event; a process
//   that stops itself (SIGSTOP and kin) is left stopped.
// Exceptions. SIGSEGV 0xC0000005 (0xC00000FD near the stack pointer), SIGBUS
//   0xC0000006 (0x80000002 misaligned), SIGILL 0xC000001D (0xC0000096
//   privileged), SIGFPE by si_code (0xC0000094 ... 0xC000008C), SIGTRAP
//   0x80000003 (0x80000004 single step), SIGABRT 0xC0000409. DBG_CONTINUE drops
//   the signal, DBG_EXCEPTION_NOT_HANDLED delivers it; if it then kills the
//   process, the same code is reported once more at second chance.
// Exit codes. A normal exit reports its 8-bit status; a death by a signal
//   128 + the signal number; TerminateProcess (SIGKILL) the code given to it,
//   also when it is issued after a second-chance event of a dying process.
//   Everything traced dies with the tracer (PTRACE_O_EXITKILL).
// Measurements. GetProcessTimes: the process CPU clock (ns) while it runs,
//   the wait4 rusage when it has ended (system time as kernel time); both
//   less what the creator's copy spent before the exec.
//   GetProcessMemoryInfo: VmRSS and VmHWM, read once more when each task stops
//   on its way out (PTRACE_O_TRACEEXIT); ru_maxrss is not used, since it also
//   holds the creator's copy. Both stay readable while the handle is open.
// Accounts. LogonUserA takes domain "." or "" only (else ERROR_NO_SUCH_DOMAIN);
//   an unknown user is ERROR_NO_SUCH_USER; only root may log on another user
//   (ERROR_PRIVILEGE_NOT_HELD), and needs no password, like su from root.
// RaiseException ends the process by the signal that matches the code
//   (SIGABRT when none does), default action restored, no core file.

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef void* HANDLE;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef HANDLE* PHANDLE;
typedef void* HLOCAL;

#define WINAPI
#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u

// Error codes that the layer produces.
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_BAD_ENVIRONMENT 10u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_NO_PROC_SLOTS 89u
#define ERROR_BAD_EXE_FORMAT 193u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_DIRECTORY 267u
#define ERROR_PRIVILEGE_NOT_HELD 1314u
#define ERROR_NO_SUCH_USER 1317u
#define ERROR_LOGON_FAILURE 1326u
#define ERROR_NO_SUCH_DOMAIN 1355u

#define DEBUG_PROCESS 0x00000001u
#define CREATE_NEW_CONSOLE 0x00000010u
#define STARTF_USESHOWWINDOW 0x00000001u
#define STARTF_USESTDHANDLES 0x00000100u
#define SW_HIDE 0

#define LOGON32_LOGON_BATCH 4u
#define LOGON32_PROVIDER_DEFAULT 0u

#define EXCEPTION_DEBUG_EVENT 1u
#define CREATE_THREAD_DEBUG_EVENT 2u
#define CREATE_PROCESS_DEBUG_EVENT 3u
#define EXIT_THREAD_DEBUG_EVENT 4u
#define EXIT_PROCESS_DEBUG_EVENT 5u
#define LOAD_DLL_DEBUG_EVENT 6u
#define DBG_CONTINUE 0x00010002u
#define DBG_EXCEPTION_NOT_HANDLED 0x80010001u

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_ALWAYS 4u

#define HEAP_ZERO_MEMORY 0x00000008u

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

typedef struct _PROCESS_MEMORY_COUNTERS {
    DWORD cb;
    DWORD PageFaultCount;
    SIZE_T PeakWorkingSetSize;
    SIZE_T WorkingSetSize;
    SIZE_T QuotaPeakPagedPoolUsage;
    SIZE_T QuotaPagedPoolUsage;
    SIZE_T QuotaPeakNonPagedPoolUsage;
    SIZE_T QuotaNonPagedPoolUsage;
    SIZE_T PagefileUsage;
    SIZE_T PeakPagefileUsage;
} PROCESS_MEMORY_COUNTERS, *PPROCESS_MEMORY_COUNTERS;

#define EXCEPTION_MAXIMUM_PARAMETERS 15

typedef struct _EXCEPTION_RECORD {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    struct _EXCEPTION_RECORD* ExceptionRecord;
    PVOID ExceptionAddress;
    DWORD NumberParameters;
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
} EXCEPTION_RECORD;

typedef struct _EXCEPTION_DEBUG_INFO {
    EXCEPTION_RECORD ExceptionRecord;
    DWORD dwFirstChance;
} EXCEPTION_DEBUG_INFO;

typedef struct _CREATE_THREAD_DEBUG_INFO {
    HANDLE hThread;
} CREATE_THREAD_DEBUG_INFO;

// hFile is always NULL here: there is no image file handle to hand over.
typedef struct _CREATE_PROCESS_DEBUG_INFO {
    HANDLE hFile;
    HANDLE hProcess;
    HANDLE hThread;
} CREATE_PROCESS_DEBUG_INFO;

typedef struct _EXIT_THREAD_DEBUG_INFO {
    DWORD dwExitCode;
} EXIT_THREAD_DEBUG_INFO;

typedef struct _EXIT_PROCESS_DEBUG_INFO {
    DWORD dwExitCode;
} EXIT_PROCESS_DEBUG_INFO;

typedef struct _LOAD_DLL_DEBUG_INFO {
    HANDLE hFile;
} LOAD_DLL_DEBUG_INFO;

typedef struct _DEBUG_EVENT {
    DWORD dwDebugEventCode;
    DWORD dwProcessId;
    DWORD dwThreadId;
    union {
        EXCEPTION_DEBUG_INFO Exception;
        CREATE_THREAD_DEBUG_INFO CreateThread;
        CREATE_PROCESS_DEBUG_INFO CreateProcessInfo;
        EXIT_THREAD_DEBUG_INFO ExitThread;
        EXIT_PROCESS_DEBUG_INFO ExitProcess;
        LOAD_DLL_DEBUG_INFO LoadDll;
    } u;
} DEBUG_EVENT, *LPDEBUG_EVENT;

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID parameter);

BOOL CreateProcessA(LPCSTR application_name, LPSTR command_line,
                    LPSECURITY_ATTRIBUTES process_attributes,
                    LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                    DWORD creation_flags, LPVOID environment,
                    LPCSTR current_directory, LPSTARTUPINFOA startup_info,
                    LPPROCESS_INFORMATION process_information);
BOOL CreateProcessAsUserA(HANDLE token, LPCSTR application_name, LPSTR command_line,
                          LPSECURITY_ATTRIBUTES process_attributes,
                          LPSECURITY_ATTRIBUTES thread_attributes,
                          BOOL inherit_handles, DWORD creation_flags,
                          LPVOID environment, LPCSTR current_directory,
                          LPSTARTUPINFOA startup_info,
                          LPPROCESS_INFORMATION process_information);
BOOL LogonUserA(LPCSTR user, LPCSTR domain, LPCSTR password, DWORD logon_type,
                DWORD logon_provider, PHANDLE token);

BOOL WaitForDebugEvent(LPDEBUG_EVENT event, DWORD milliseconds);
BOOL ContinueDebugEvent(DWORD process_id, DWORD thread_id, DWORD continue_status);
BOOL TerminateProcess(HANDLE process, UINT exit_code);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code);
BOOL GetProcessTimes(HANDLE process, LPFILETIME creation_time, LPFILETIME exit_time,
                     LPFILETIME kernel_time, LPFILETIME user_time);
void GetSystemTime(LPSYSTEMTIME system_time);
BOOL SystemTimeToFileTime(const SYSTEMTIME* system_time, LPFILETIME file_time);
BOOL GetProcessMemoryInfo(HANDLE process, PPROCESS_MEMORY_COUNTERS counters, DWORD cb);

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
DWORD GetLastError(void);
void SetLastError(DWORD error);
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                     LPSTR buffer, DWORD size, va_list* arguments);
HLOCAL LocalFree(HLOCAL memory);

HANDLE CreateFileA(LPCSTR file_name, DWORD desired_access, DWORD share_mode,
                   LPSECURITY_ATTRIBUTES security_attributes,
                   DWORD creation_disposition, DWORD flags_and_attributes,
                   HANDLE template_file);
BOOL CreatePipe(PHANDLE read_pipe, PHANDLE write_pipe,
                LPSECURITY_ATTRIBUTES pipe_attributes, DWORD size);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES thread_attributes, SIZE_T stack_size,
                    LPTHREAD_START_ROUTINE start_address, LPVOID parameter,
                    DWORD creation_flags, LPDWORD thread_id);
void Sleep(DWORD milliseconds);

HANDLE GetProcessHeap(void);
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID memory);

void RaiseException(DWORD code, DWORD flags, DWORD argument_count,
                    const ULONG_PTR* arguments);

#endif

#endif
