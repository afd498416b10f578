// Jury of the "guess the number" problem.
//
//   guess_jury <n> <secret> [<questions>]
//
// The secret is a whole number from 1 to n. The jury first writes the line
// "<n> <questions>"; then the solution asks, one number per line, and the
// jury answers each question x on a line of its own:
//   "<"  the secret is less than x,
//   ">"  the secret is greater than x,
//   "="  x is the secret; the jury accepts and exits.
// Without <questions> the solution may ask as many questions as a binary
// search needs in the worst case.
//
// Exit code: 0 accepted, 1 wrong answer (too many questions), 2 malformed
// question, 3 bad jury arguments. A non-zero exit code makes pairex stop the
// solution at once. Comments go to standard error, which pairex discards.
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

const int accepted = 0;
const int wrong_answer = 1;
const int presentation_error = 2;
const int jury_error = 3;

// Questions that a binary search over 1..n needs at most.
long long binary_search_questions(long long n) {
    long long questions = 0;
    for (; n > 0; n /= 2) ++questions;
    return questions;
}

bool read_number(const char* text, long long* value) {
    char* end = nullptr;
    *value = std::strtoll(text, &end, 10);
    return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char* argv[]) {
    long long n = 0, secret = 0, questions = 0;
    if (argc < 3 || argc > 4 || !read_number(argv[1], &n) || !read_number(argv[2], &secret) ||
        n < 1 || secret < 1 || secret > n) {
        std::cerr << "usage: guess_jury <n> <secret> [<questions>] with 1 <= secret <= n\n";
        return jury_error;
    }
    questions = binary_search_questions(n);
    if (argc == 4 && (!read_number(argv[3], &questions) || questions < 1)) {
        std::cerr << "guess_jury: the number of questions must be positive\n";
        return jury_error;
    }

    std::cout << n << ' ' << questions << std::endl;
    for (long long asked = 1;; ++asked) {
        std::string token;
        long long guess = 0;
        if (!(std::cin >> token) || !read_number(token.c_str(), &guess) || guess < 1 ||
            guess > n) {
            std::cerr << "guess_jury: question " << asked << " is not a number from 1 to " << n
                      << '\n';
            return presentation_error;
        }
        if (asked > questions) {
            std::cerr << "guess_jury: more than " << questions << " questions\n";
            return wrong_answer;
        }
        if (guess == secret) {
            std::cout << '=' << std::endl;
            std::cerr << "guess_jury: found in " << asked << " questions\n";
            return accepted;
        }
        std::cout << (secret < guess ? '<' : '>') << std::endl;
    }
}
