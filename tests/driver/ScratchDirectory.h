#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// A fresh directory under /tmp for one test, removed with the object.
class ScratchDirectory {
public:
    ScratchDirectory() {
        char pattern[] = "/tmp/qkey-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~ScratchDirectory() { std::filesystem::remove_all(path); }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    std::string file(const std::string& name) const { return path + "/" + name; }

    static void write(const std::string& path, const std::string& text, mode_t mode) {
        std::ofstream(path, std::ios::trunc | std::ios::binary) << text;
        ::chmod(path.c_str(), mode);
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    static mode_t mode(const std::string& path) {
        struct stat st {};
        ::lstat(path.c_str(), &st);
        return st.st_mode & 07777;
    }

    std::string path;
};
