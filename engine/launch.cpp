// Entry of invoke: argument checks, start-up description, logon and the
// creation of the program as a debugged process with a hidden console.
#include <cstdio>
#include <cstring>

#include "engine_internal.h"

namespace {

const char null_parameter_text[] = "One of the parameters is NULL";
const char bad_utilization_text[] = "Invalid required utilization passed as the parameter";

}  // namespace

const char* copy_text(const char* text) {
    size_t length = strlen(text);
    char* copy = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, length + 1));
    if (copy == nullptr) return text;
    memcpy(copy, text, length + 1);
    return copy;
}

char* system_error_text(DWORD code, ...) {
    char* formatted = nullptr;
    va_list inserts;
    va_start(inserts, code);
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  nullptr, code, 0x400, reinterpret_cast<LPSTR>(&formatted), 0,
                                  &inserts);
    va_end(inserts);

    char fallback[64];
    const char* text = formatted;
    if (length == 0 || formatted == nullptr) {
        snprintf(fallback, sizeof fallback, "System error %lu", static_cast<unsigned long>(code));
        text = fallback;
    }
    size_t kept = strcspn(text, "\r");
    char* copy = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, kept + 1));
    if (copy != nullptr) {
        memcpy(copy, text, kept);
        copy[kept] = '\0';
    }
    if (formatted != nullptr) LocalFree(formatted);
    if (copy == nullptr) {
        static char out_of_memory[] = "Not enough memory for the error text";
        return out_of_memory;
    }
    return copy;
}

void split_account(char* account, const char** domain, const char** user) {
    char* backslash = strchr(account, '\\');
    if (backslash == nullptr) {
        *domain = ".";
        *user = account;
        return;
    }
    *backslash = '\0';
    *domain = account;
    *user = backslash + 1;
}

extern "C" INVOKE_API void invoke(const char* command_line, const char* current_directory,
                                  const invoke_limits* limits, invoke_result* result,
                                  invoke_cancel_fn cancel) {
    SetLastError(0);
    if (result != nullptr) {
        result->outcome = INVOKE_OK;
        result->message = nullptr;
    }
    if (command_line == nullptr || limits == nullptr || result == nullptr) {
        SetLastError(INVOKE_ERROR_NULL_PARAMETER);
        if (result != nullptr) {
            result->outcome = INVOKE_FAILED;
            result->message = copy_text(null_parameter_text);
        }
        return;
    }
    if (limits->required_utilization < 0 || limits->required_utilization > 1) {
        SetLastError(INVOKE_ERROR_BAD_UTILIZATION);
        result->outcome = INVOKE_FAILED;
        result->message = copy_text(bad_utilization_text);
        return;
    }

    bool redirect = (limits->flags & INVOKE_REDIRECT_STDIO) != 0;
    char empty_desktop[] = "";
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.lpDesktop = empty_desktop;
    startup.dwFlags = STARTF_USESHOWWINDOW | (redirect ? STARTF_USESTDHANDLES : 0);
    startup.wShowWindow = SW_HIDE;
    if (redirect) {
        startup.hStdInput = limits->std_input;
        startup.hStdOutput = limits->std_output;
        startup.hStdError = limits->std_error;
    }
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);

    // The platform may write into the command line, so it gets a copy.
    size_t command_length = strlen(command_line);
    char* command_copy = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, command_length + 1));
    if (command_copy == nullptr) {
        result->outcome = INVOKE_FAILED;
        result->message = system_error_text(ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    memcpy(command_copy, command_line, command_length + 1);

    const DWORD creation_flags = DEBUG_PROCESS | CREATE_NEW_CONSOLE;
    BOOL created;
    if (limits->account == nullptr) {
        created = CreateProcessA(nullptr, command_copy, nullptr, nullptr, redirect ? TRUE : FALSE,
                                 creation_flags, nullptr, current_directory, &startup, &process);
    } else {
        size_t account_length = strlen(limits->account);
        char* account = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, account_length + 1));
        if (account == nullptr) {
            HeapFree(GetProcessHeap(), 0, command_copy);
            result->outcome = INVOKE_FAILED;
            result->message = system_error_text(ERROR_NOT_ENOUGH_MEMORY);
            return;
        }
        memcpy(account, limits->account, account_length + 1);
        const char* domain;
        const char* user;
        split_account(account, &domain, &user);
        const char* password = limits->password != nullptr ? limits->password : "";
        HANDLE token = nullptr;
        BOOL logged_on = LogonUserA(user, domain, password, LOGON32_LOGON_BATCH,
                                    LOGON32_PROVIDER_DEFAULT, &token);
        DWORD logon_error = GetLastError();
        HeapFree(GetProcessHeap(), 0, account);
        if (!logged_on) {
            HeapFree(GetProcessHeap(), 0, command_copy);
            result->outcome = INVOKE_FAILED;
            result->message = system_error_text(logon_error);
            return;
        }
        created = CreateProcessAsUserA(token, nullptr, command_copy, nullptr, nullptr,
                                       redirect ? TRUE : FALSE, creation_flags, nullptr,
                                       current_directory, &startup, &process);
        DWORD creation_error = GetLastError();
        CloseHandle(token);
        SetLastError(creation_error);
    }
    if (!created) {
        DWORD creation_error = GetLastError();
        HeapFree(GetProcessHeap(), 0, command_copy);
        result->outcome = INVOKE_SECURITY_VIOLATION;
        result->message = system_error_text(creation_error, command_line);
        return;
    }
    HeapFree(GetProcessHeap(), 0, command_copy);
    supervise(&process, limits, result, cancel);
}
