// Runs a fuzz target's entry point once per file named on the command line
// (or per file in a named directory). Builds without libFuzzer, so every
// compiler runs the seed corpus and the saved crash inputs as plain tests.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int runFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return 0;
}

int runPath(const std::string& path, int& count) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return 0;  // an absent folder (no saved crashes yet) is no failure
    }
    if (!S_ISDIR(st.st_mode)) {
        ++count;
        return runFile(path);
    }
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return 1;
    }
    int failures = 0;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        failures += runPath(path + "/" + name, count);
    }
    closedir(dir);
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    int failures = 0;
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        failures += runPath(argv[i], count);
    }
    std::printf("ran %d inputs\n", count);
    return failures == 0 ? 0 : 1;
}
