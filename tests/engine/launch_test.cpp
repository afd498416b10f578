// The launch half of invoke: argument checks, failed creations, accounts,
// standard handles and the working directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "engine_internal.h"
#include "platform.h"
#include "engine_test_support.h"

namespace {

std::string temp_file(const char* name, const std::string& contents = "") {
    std::string path = std::string("/tmp/pairex_launch_") + name + "_" + std::to_string(getpid());
    std::ofstream(path) << contents;
    return path;
}

std::string read_file(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

HANDLE open_inheritable(const std::string& path, DWORD access) {
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                       OPEN_ALWAYS, 0, nullptr);
}

// Runs the fixture with its standard output and error in files.
struct captured_run {
    invoke_result result;
    std::string output;
    std::string error;
};

// The descriptors above 2 of this process that a child would inherit.
std::string inheritable_listing() {
    std::string listing;
    for (int fd = 3; fd < 1024; ++fd) {
        int flags = fcntl(fd, F_GETFD);
        if (flags < 0 || (flags & FD_CLOEXEC) != 0) continue;
        char path[64], target[256];
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        ssize_t length = readlink(path, target, sizeof target - 1);
        target[length > 0 ? length : 0] = '\0';
        listing += std::to_string(fd) + " " + target + "\n";
    }
    return listing;
}

captured_run run_captured(const std::string& command, invoke_limits limits,
                          const std::string& input = "", const char* directory = nullptr,
                          std::string* expected_inheritance = nullptr) {
    std::string in_path = temp_file("in", input);
    std::string out_path = temp_file("out");
    std::string err_path = temp_file("err");
    HANDLE in = open_inheritable(in_path, GENERIC_READ);
    HANDLE out = open_inheritable(out_path, GENERIC_WRITE);
    HANDLE err = open_inheritable(err_path, GENERIC_WRITE);
    limits.std_input = in;
    limits.std_output = out;
    limits.std_error = err;
    captured_run run{};
    if (expected_inheritance != nullptr) *expected_inheritance = inheritable_listing();
    invoke(command.c_str(), directory, &limits, &run.result, nullptr);
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    run.output = read_file(out_path);
    run.error = read_file(err_path);
    unlink(in_path.c_str());
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    return run;
}

bool fields_kept(const invoke_result& result) {
    invoke_result mark = marked_result();
    return result.terminated == mark.terminated && result.exit_code == mark.exit_code &&
           result.exception_code == mark.exception_code && result.cpu_time == mark.cpu_time &&
           result.wall_time == mark.wall_time && result.peak_memory == mark.peak_memory;
}

}  // namespace

TEST(invoke_arguments, absent_records_and_bad_utilization_fail_with_their_error) {
    struct check {
        const char* name;
        bool command, limits;
        double utilization;
        DWORD error;
        const char* message;
    };
    const double not_a_number = std::numeric_limits<double>::quiet_NaN();
    const check cases[] = {
        {"no command line", false, true, 0.05, INVOKE_ERROR_NULL_PARAMETER,
         "One of the parameters is NULL"},
        {"no limits", true, false, 0.05, INVOKE_ERROR_NULL_PARAMETER,
         "One of the parameters is NULL"},
        {"utilization above 1", true, true, 1.0000001, INVOKE_ERROR_BAD_UTILIZATION,
         "Invalid required utilization passed as the parameter"},
        {"negative utilization", true, true, -0.5, INVOKE_ERROR_BAD_UTILIZATION,
         "Invalid required utilization passed as the parameter"},
    };
    for (const check& test : cases) {
        SCOPED_TRACE(test.name);
        invoke_limits limits = no_limits();
        limits.required_utilization = test.utilization;
        invoke_result result = marked_result();
        std::string command = fixture("exit 0");
        SetLastError(12345);
        invoke(test.command ? command.c_str() : nullptr, nullptr, test.limits ? &limits : nullptr,
               &result, nullptr);
        EXPECT_EQ(GetLastError(), test.error);
        EXPECT_EQ(result.outcome, INVOKE_FAILED);
        ASSERT_NE(result.message, nullptr);
        EXPECT_STREQ(result.message, test.message);
        EXPECT_TRUE(fields_kept(result));
    }

    // Without a result record nothing is written but the thread's error.
    invoke_limits limits = no_limits();
    std::string command = fixture("exit 0");
    invoke(command.c_str(), nullptr, &limits, nullptr, nullptr);
    EXPECT_EQ(GetLastError(), INVOKE_ERROR_NULL_PARAMETER);

    // The range test is two comparisons: 0, 1 and NaN pass.
    for (double utilization : {0.0, 1.0, not_a_number}) {
        limits.required_utilization = utilization;
        invoke_result result{};
        SetLastError(12345);
        invoke(command.c_str(), nullptr, &limits, &result, nullptr);
        EXPECT_EQ(result.outcome, INVOKE_OK) << utilization;
        EXPECT_EQ(GetLastError(), 0u) << utilization;
    }
}

TEST(invoke_arguments, unknown_flag_bits_change_nothing) {
    invoke_limits limits = no_limits();
    limits.flags = 0xFFFFFFF8u;
    invoke_result result = run(fixture("exit 4"), limits);
    EXPECT_EQ(result.outcome, INVOKE_OK);
    EXPECT_EQ(result.exit_code, 4u);
}

TEST(invoke_launch, a_program_that_cannot_start_is_a_security_violation_naming_it) {
    std::string directory = "/tmp/pairex_launch_dir_" + std::to_string(getpid());
    mkdir(directory.c_str(), 0755);
    std::string not_executable = directory + "/plain.txt";
    std::ofstream(not_executable) << "text";
    chmod(not_executable.c_str(), 0644);
    std::string bad_format = directory + "/bad.bin";
    std::ofstream(bad_format) << "\x7f" "ELF garbage";
    chmod(bad_format.c_str(), 0755);

    struct failure {
        std::string command;
        const char* directory;
        const char* reason;
    };
    const failure cases[] = {
        {"/nonexistent/program --flag", nullptr, "cannot find the file"},
        {"pairex-no-such-program-in-path", nullptr, "cannot find the file"},
        {not_executable, nullptr, "access is denied"},
        {bad_format, nullptr, "not a valid executable"},
        {fixture("exit 0"), "/nonexistent/directory", "directory name is invalid"},
        {"", nullptr, "cannot find the file"},
    };
    for (const failure& test : cases) {
        SCOPED_TRACE(test.command);
        invoke_limits limits = no_limits();
        invoke_result result = marked_result();
        invoke(test.command.c_str(), test.directory, &limits, &result, nullptr);
        EXPECT_EQ(result.outcome, INVOKE_SECURITY_VIOLATION);
        ASSERT_NE(result.message, nullptr);
        std::string message = result.message;
        EXPECT_NE(message.find(test.command), std::string::npos) << message;
        EXPECT_NE(message.find(test.reason), std::string::npos) << message;
        EXPECT_EQ(message.find('\r'), std::string::npos);
        EXPECT_EQ(message.find('\n'), std::string::npos);
        EXPECT_TRUE(fields_kept(result));
    }
    unlink(not_executable.c_str());
    unlink(bad_format.c_str());
    rmdir(directory.c_str());
}

TEST(invoke_launch, command_line_is_split_like_the_c_runtime_does) {
    invoke_limits limits = no_limits();
    limits.flags = INVOKE_REDIRECT_STDIO;
    captured_run run = run_captured(fixture("args a \"b c\" \"d\\\"e\" f\\\\g \"\""), limits);
    EXPECT_EQ(run.result.outcome, INVOKE_OK);
    EXPECT_EQ(run.output, "[a][b c][d\"e][f\\\\g][]\n");
    EXPECT_EQ(run.result.exit_code, 5u);
}

TEST(invoke_launch, redirected_program_uses_the_given_handles) {
    invoke_limits limits = no_limits();
    limits.flags = INVOKE_REDIRECT_STDIO;
    captured_run run = run_captured(fixture("echo"), limits, "question\nanswer\n");
    EXPECT_EQ(run.result.outcome, INVOKE_OK);
    EXPECT_EQ(run.result.exit_code, 0u);
    EXPECT_EQ(run.output, "question\nanswer\n");
    EXPECT_EQ(run.error, "question\nanswer\n");
}

TEST(invoke_launch, inherits_only_inheritable_handles_and_only_when_redirected) {
    // One descriptor of the tool's own, close-on-exec, and one made inheritable.
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE own_read = nullptr, own_write = nullptr, shared_read = nullptr, shared_write = nullptr;
    ASSERT_TRUE(CreatePipe(&own_read, &own_write, nullptr, 0));
    ASSERT_TRUE(CreatePipe(&shared_read, &shared_write, &inheritable, 0));

    invoke_limits limits = no_limits();
    limits.flags = INVOKE_REDIRECT_STDIO;
    std::string expected;
    captured_run redirected = run_captured(fixture("fds"), limits, "", nullptr, &expected);
    EXPECT_EQ(redirected.result.outcome, INVOKE_OK);
    // Its standard handles, then exactly what this process has without
    // close-on-exec: the shared pipe but not the tool's own.
    std::string listing = redirected.error;
    size_t past_standard = 0;
    for (int line = 0; line < 3; ++line) past_standard = listing.find('\n', past_standard) + 1;
    EXPECT_EQ(listing.substr(past_standard), expected);
    EXPECT_EQ(listing.substr(0, 2), "0 ");
    int pipes = 0;
    for (size_t at = expected.find("pipe:"); at != std::string::npos; at = expected.find("pipe:", at + 1))
        ++pipes;
    EXPECT_GE(pipes, 2) << "the shared pipe is inheritable";

    // Without the flag the program gets nothing, and the null device as its
    // standard handles.
    limits.flags = 0;
    std::string listing_path = temp_file("fds");
    invoke_result result = run(fixture("fds " + listing_path), limits);
    EXPECT_EQ(result.outcome, INVOKE_OK);
    EXPECT_EQ(read_file(listing_path), "0 /dev/null\n1 /dev/null\n2 /dev/null\n");
    unlink(listing_path.c_str());

    CloseHandle(own_read);
    CloseHandle(own_write);
    CloseHandle(shared_read);
    CloseHandle(shared_write);
}

TEST(invoke_launch, starts_in_the_given_directory_or_in_the_callers) {
    invoke_limits limits = no_limits();
    limits.flags = INVOKE_REDIRECT_STDIO;
    EXPECT_EQ(run_captured(fixture("pwd"), limits, "", "/usr").output, "/usr\n");
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    EXPECT_EQ(run_captured(fixture("pwd"), limits).output, std::string(here) + "\n");
}

TEST(invoke_account, account_text_is_cut_at_its_first_backslash) {
    struct split_case {
        const char* account;
        const char* domain;
        const char* user;
    };
    const split_case cases[] = {
        {"judge", ".", "judge"},      {"WORK\\judge", "WORK", "judge"},
        {"a\\b\\c", "a", "b\\c"},     {"\\judge", "", "judge"},
        {"WORK\\", "WORK", ""},       {"", ".", ""},
    };
    for (const split_case& test : cases) {
        std::string copy = test.account;
        const char* domain = nullptr;
        const char* user = nullptr;
        split_account(&copy[0], &domain, &user);
        EXPECT_STREQ(domain, test.domain) << test.account;
        EXPECT_STREQ(user, test.user) << test.account;
    }
}

TEST(invoke_account, failed_logons_are_failures_with_the_systems_text) {
    struct logon_case {
        const char* account;
        const char* text;
    };
    const logon_case cases[] = {
        {"pairex-no-such-user", "The specified account does not exist."},
        {"", "The specified account does not exist."},
        {"OTHERDOMAIN\\root", "The specified domain either does not exist or could not be contacted."},
    };
    for (const logon_case& test : cases) {
        invoke_limits limits = no_limits();
        limits.account = test.account;
        invoke_result result = marked_result();
        std::string command = fixture("exit 0");
        invoke(command.c_str(), nullptr, &limits, &result, nullptr);
        EXPECT_EQ(result.outcome, INVOKE_FAILED) << test.account;
        ASSERT_NE(result.message, nullptr);
        EXPECT_STREQ(result.message, test.text);
        EXPECT_TRUE(fields_kept(result));
    }
}

TEST(invoke_account, root_runs_the_program_as_the_given_user) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to start programs as another user";
    passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    // The build tree may sit where that user cannot reach (under /root, say):
    // run a copy from a directory open to everyone.
    std::string directory = "/tmp/pairex_launch_nobody_" + std::to_string(getpid());
    mkdir(directory.c_str(), 0755);
    chmod(directory.c_str(), 0755);
    std::string program = directory + "/engine_fixture";
    {
        std::ifstream source(ENGINE_FIXTURE, std::ios::binary);
        std::ofstream copy(program, std::ios::binary);
        copy << source.rdbuf();
    }
    chmod(program.c_str(), 0755);
    invoke_limits limits = no_limits();
    limits.flags = INVOKE_REDIRECT_STDIO;
    for (const char* account : {"nobody", ".\\nobody"}) {
        limits.account = account;
        limits.password = nullptr;
        captured_run run = run_captured("\"" + program + "\" uid", limits);
        EXPECT_EQ(run.result.outcome, INVOKE_OK) << (run.result.message ? run.result.message : "");
        EXPECT_EQ(run.output, std::to_string(nobody->pw_uid) + " " + std::to_string(nobody->pw_gid) + "\n");
    }
    unlink(program.c_str());
    rmdir(directory.c_str());
}
