// Wrong solution of "guess the number": tries 1, 2, 3, ... in turn, so a
// secret beyond the allowed number of questions makes the jury reject it.
#include <iostream>
#include <string>

int main() {
    long long n = 0, questions = 0;
    std::cin >> n >> questions;
    for (long long guess = 1; guess <= n; ++guess) {
        std::cout << guess << std::endl;
        std::string answer;
        if (!(std::cin >> answer) || answer == "=") return 0;
    }
    return 0;
}
