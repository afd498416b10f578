// Correct solution of "guess the number": a binary search, which never needs
// more questions than the jury allows by default.
#include <iostream>
#include <string>

int main() {
    long long n = 0, questions = 0;
    std::cin >> n >> questions;
    long long low = 1, high = n;
    while (low <= high) {
        long long middle = low + (high - low) / 2;
        std::cout << middle << std::endl;
        std::string answer;
        if (!(std::cin >> answer) || answer == "=") return 0;
        if (answer == "<")
            high = middle - 1;
        else
            low = middle + 1;
    }
    return 0;
}
