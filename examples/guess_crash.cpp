// Wrong solution of "guess the number": keeps its answers in a table that it
// forgot to allocate, so it dies of an access violation on the first answer.
#include <iostream>
#include <string>

int main() {
    long long n = 0, questions = 0;
    std::cin >> n >> questions;
    // volatile: the compiler must not see that the table is missing and
    // replace the faulting store by a trap of its own.
    char* volatile answers = nullptr;
    long long low = 1, high = n;
    for (long long asked = 0; low <= high; ++asked) {
        long long middle = low + (high - low) / 2;
        std::cout << middle << std::endl;
        std::string answer;
        if (!(std::cin >> answer)) return 0;
        answers[asked] = answer[0];
        if (answer == "=") return 0;
        if (answer == "<")
            high = middle - 1;
        else
            low = middle + 1;
    }
    return 0;
}
