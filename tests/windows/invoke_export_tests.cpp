// The engine as a judge reaches it: the function invoke exported by
// pairex.exe under its plain name, found with GetProcAddress.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "invoke.h"
#include "pairex_run.h"

namespace {

typedef void (*invoke_function)(const char* command_line, const char* current_directory,
                                const invoke_limits* limits, invoke_result* result,
                                invoke_cancel_fn cancel);

HMODULE load_pairex() {
    return LoadLibraryA(windows_path(PAIREX_PATH).c_str());
}

invoke_function exported_invoke() {
    HMODULE module = load_pairex();
    if (module == nullptr) return nullptr;
    FARPROC address = GetProcAddress(module, "invoke");
    // Through void (*)(void), the type that converts to any function type.
    return reinterpret_cast<invoke_function>(reinterpret_cast<void (*)(void)>(address));
}

// Wine loads an executable as a library without binding its imports, so
// its functions cannot be called there; the calls run on Windows only.
#define SKIP_CALLS_UNDER_WINE()                                                        \
    if (running_under_wine())                                                          \
    GTEST_SKIP() << "Wine does not bind the imports of an executable loaded as a library"

TEST(exported_invoke, is_found_by_its_plain_name_inside_the_executable) {
    HMODULE module = load_pairex();
    ASSERT_NE(nullptr, module);
    const unsigned char* base = reinterpret_cast<const unsigned char*>(module);
    const IMAGE_NT_HEADERS* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    EXPECT_EQ(0, headers->FileHeader.Characteristics & IMAGE_FILE_DLL);
    const unsigned char* address =
        reinterpret_cast<const unsigned char*>(GetProcAddress(module, "invoke"));
    ASSERT_NE(nullptr, address);
    const unsigned char* code = base + headers->OptionalHeader.BaseOfCode;
    EXPECT_GE(address, code);
    EXPECT_LT(address, code + headers->OptionalHeader.SizeOfCode);
    // Decorated forms are not exported.
    EXPECT_EQ(nullptr, GetProcAddress(module, "_invoke"));
    EXPECT_EQ(nullptr, GetProcAddress(module, "invoke@20"));
}

// Marks every field that a failed argument check must leave alone.
invoke_result marked_result() {
    invoke_result result;
    result.terminated = 7;
    result.outcome = 55;
    result.exit_code = 11;
    result.exception_code = 12;
    result.cpu_time = 13;
    result.wall_time = 14;
    result.peak_memory = 15;
    result.message = "old";
    return result;
}

TEST(exported_invoke, checks_its_arguments_and_reports_through_the_last_error) {
    SKIP_CALLS_UNDER_WINE();
    invoke_function invoke_exported = exported_invoke();
    ASSERT_NE(nullptr, invoke_exported);

    invoke_limits limits = {};
    invoke_limits bad_utilization = {};
    bad_utilization.required_utilization = 1.5;
    const char* command = "no_such_program_here.exe";
    struct row {
        const char* name;
        const char* command_line;
        const invoke_limits* limits;
        DWORD last_error;
        const char* message;
    };
    const row rows[] = {
        {"no command line", nullptr, &limits, 0x20000001u, "One of the parameters is NULL"},
        {"no limits", command, nullptr, 0x20000001u, "One of the parameters is NULL"},
        {"utilization above 1", command, &bad_utilization, 0x20000002u,
         "Invalid required utilization passed as the parameter"},
    };
    for (const row& r : rows) {
        invoke_result result = marked_result();
        SetLastError(12345);
        invoke_exported(r.command_line, nullptr, r.limits, &result, nullptr);
        EXPECT_EQ(r.last_error, GetLastError()) << r.name;
        EXPECT_EQ(INVOKE_FAILED, result.outcome) << r.name;
        ASSERT_NE(nullptr, result.message) << r.name;
        EXPECT_STREQ(r.message, result.message) << r.name;
        EXPECT_EQ(7, result.terminated) << r.name;
        EXPECT_EQ(11u, result.exit_code) << r.name;
        EXPECT_EQ(12u, result.exception_code) << r.name;
        EXPECT_EQ(13u, result.cpu_time) << r.name;
        EXPECT_EQ(14u, result.wall_time) << r.name;
        EXPECT_EQ(15u, result.peak_memory) << r.name;
    }

    SetLastError(12345);
    invoke_exported(command, nullptr, &limits, nullptr, nullptr);
    EXPECT_EQ(0x20000001u, GetLastError());
}

TEST(exported_invoke, runs_a_program_to_its_end) {
    SKIP_CALLS_UNDER_WINE();
    invoke_function invoke_exported = exported_invoke();
    ASSERT_NE(nullptr, invoke_exported);
    const std::string command = "\"" + windows_path(FIXTURE_PATH) + "\" jury_fail 9";
    invoke_limits limits = {};
    invoke_result result = {};
    invoke_exported(command.c_str(), nullptr, &limits, &result, nullptr);
    EXPECT_EQ(INVOKE_OK, result.outcome);
    EXPECT_EQ(9u, result.exit_code);
    EXPECT_EQ(0, result.terminated);
    EXPECT_EQ(nullptr, result.message);
}

}  // namespace
