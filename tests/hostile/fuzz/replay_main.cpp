// Runs a fuzz target over the inputs kept in the given directories (its
// seeds and the crashes found so far), as an ordinary test: a broken
// property aborts. Directories that do not exist count as empty.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char* argv[]) {
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        DIR* directory = opendir(argv[i]);
        if (directory == nullptr) continue;
        while (dirent* entry = readdir(directory)) {
            std::string name = entry->d_name;
            if (name[0] == '.' || name.compare(0, 6, "README") == 0) continue;
            std::string path = std::string(argv[i]) + "/" + name;
            std::ifstream file(path, std::ios::binary);
            std::vector<char> input((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
            std::fprintf(stderr, "%s\n", path.c_str());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
            ++replayed;
        }
        closedir(directory);
    }
    std::printf("replayed %d inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
