#include "pairex_run.h"

#include <cstring>

namespace {

struct output_reader {
    HANDLE pipe = nullptr;
    HANDLE line_seen = nullptr;  // set when stop_line has been read
    std::string stop_line;
    std::string text;
    std::vector<std::string> lines;
};

void add_line(output_reader& reader, std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    reader.lines.push_back(line);
    if (!reader.stop_line.empty() && line == reader.stop_line) SetEvent(reader.line_seen);
}

DWORD WINAPI read_output(LPVOID parameter) {
    output_reader& reader = *static_cast<output_reader*>(parameter);
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(reader.pipe, buffer, sizeof buffer, &count, nullptr) && count > 0) {
        reader.text.append(buffer, count);
        size_t end;
        while ((end = reader.text.find('\n')) != std::string::npos) {
            add_line(reader, reader.text.substr(0, end));
            reader.text.erase(0, end + 1);
        }
    }
    if (!reader.text.empty()) add_line(reader, reader.text);
    return 0;
}

pairex_run run(const std::string& command_line, const std::string& stop_line, DWORD timeout_ms) {
    pairex_run result;
    SECURITY_ATTRIBUTES inheritable;
    std::memset(&inheritable, 0, sizeof inheritable);
    inheritable.nLength = sizeof inheritable;
    inheritable.bInheritHandle = TRUE;

    HANDLE output_read = nullptr, output_write = nullptr;
    if (!CreatePipe(&output_read, &output_write, &inheritable, 0)) return result;
    SetHandleInformation(output_read, HANDLE_FLAG_INHERIT, 0);
    HANDLE null_device = CreateFileA("nul", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                     OPEN_EXISTING, 0, nullptr);

    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null_device;
    startup.hStdOutput = output_write;
    startup.hStdError = null_device;
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    std::vector<char> writable(command_line.begin(), command_line.end());
    writable.push_back('\0');
    result.started = CreateProcessA(nullptr, writable.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                    nullptr, &startup, &process) != FALSE;
    CloseHandle(output_write);
    CloseHandle(null_device);
    if (!result.started) {
        CloseHandle(output_read);
        return result;
    }

    output_reader reader;
    reader.pipe = output_read;
    reader.stop_line = stop_line;
    reader.line_seen = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, read_output, &reader, 0, nullptr);

    HANDLE waits[2] = {process.hProcess, reader.line_seen};
    DWORD woke = WaitForMultipleObjects(stop_line.empty() ? 1 : 2, waits, FALSE, timeout_ms);
    result.ended = woke == WAIT_OBJECT_0 ||
                   WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
    if (!result.ended) {
        TerminateProcess(process.hProcess, 0);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &result.exit_code);
    // The programs that pairex started hold the pipe too; pairex ends them
    // within its grace period, so the output ends soon after pairex.
    if (WaitForSingleObject(thread, 30000) != WAIT_OBJECT_0) {
        CancelSynchronousIo(thread);
        WaitForSingleObject(thread, 5000);
    }
    result.lines = reader.lines;
    CloseHandle(thread);
    CloseHandle(reader.line_seen);
    CloseHandle(output_read);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

}  // namespace

bool running_under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string windows_path(const char* path) {
    std::string converted(path);
    for (char& c : converted)
        if (c == '/') c = '\\';
    return converted;
}

pairex_run run_pairex(const std::string& command_line, DWORD timeout_ms) {
    return run(command_line, std::string(), timeout_ms);
}

pairex_run run_pairex_until(const std::string& command_line, const std::string& last_line,
                            DWORD timeout_ms) {
    return run(command_line, last_line, timeout_ms);
}
