#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// Makes a fresh directory the current one for one test (the settings file
// lives in the current directory) and removes it afterwards.
class TempDirectory {
public:
    TempDirectory() {
        oldDir = std::filesystem::current_path();
        // Short, so that socket paths inside it fit a Unix address.
        char pattern[] = "/tmp/qui-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        dir = pattern;
        std::filesystem::current_path(dir);
    }
    ~TempDirectory() {
        std::filesystem::current_path(oldDir);
        std::error_code ignored;
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(dir, ignored);
    }
    std::string read(const std::string& name) const {
        std::ifstream in(dir / name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void write(const std::string& name, const std::string& text) const {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
    std::filesystem::path path() const { return dir; }

private:
    std::filesystem::path oldDir;
    std::filesystem::path dir;
};
