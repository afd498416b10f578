// The least a launcher must do to run an interactive pair, as a yardstick
// for pairex: two pipes, the two programs started with them as standard
// input and output (standard error to /dev/null), and a wait for both.
//
//   bench_launcher [--sessions] "<jury program and arguments>" <user program> [arguments]
//
// The jury command line is split at spaces. With --sessions each program
// leads a session of its own, as pairex once did (which matters to a
// scheduler that groups tasks by session). Exits with the user program's exit status.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool own_sessions = false;

pid_t start(char* const* argv, int input, int output, int error) {
    pid_t pid = fork();
    if (pid == 0) {
        if (own_sessions) setsid();
        dup2(input, 0);
        dup2(output, 1);
        dup2(error, 2);
        execv(argv[0], argv);
        _exit(127);
    }
    return pid;
}

int wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc > 1 && std::string(argv[1]) == "--sessions") {
        own_sessions = true;
        --argc;
        ++argv;
    }
    if (argc < 3) {
        std::fprintf(
            stderr,
            "usage: bench_launcher [--sessions] \"<jury command line>\" <user program> [arguments]\n");
        return 64;
    }
    std::vector<std::string> jury_words;
    std::istringstream words(argv[1]);
    for (std::string word; words >> word;) jury_words.push_back(word);
    std::vector<char*> jury_argv;
    for (std::string& word : jury_words) jury_argv.push_back(&word[0]);
    jury_argv.push_back(nullptr);

    int jury_to_user[2], user_to_jury[2];
    if (pipe2(jury_to_user, O_CLOEXEC) != 0 || pipe2(user_to_jury, O_CLOEXEC) != 0) return 70;
    int null_device = open("/dev/null", O_RDWR | O_CLOEXEC);

    pid_t jury = start(jury_argv.data(), user_to_jury[0], jury_to_user[1], null_device);
    pid_t user = start(argv + 2, jury_to_user[0], user_to_jury[1], null_device);
    close(jury_to_user[0]);
    close(jury_to_user[1]);
    close(user_to_jury[0]);
    close(user_to_jury[1]);

    int user_status = wait_for(user);
    wait_for(jury);
    return WIFEXITED(user_status) ? WEXITSTATUS(user_status) : 128 + WTERMSIG(user_status);
}
