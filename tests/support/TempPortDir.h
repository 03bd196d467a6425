// A private folder for COM<n> links, named in TARVIK_PORT_DIR for the test's lifetime.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace TestSupport {

class TempPortDir {
public:
    TempPortDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        path_ = pattern;
        ::setenv("TARVIK_PORT_DIR", path_.c_str(), 1);
    }
    ~TempPortDir() {
        ::unsetenv("TARVIK_PORT_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempPortDir(const TempPortDir&) = delete;
    TempPortDir& operator=(const TempPortDir&) = delete;

    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace TestSupport
