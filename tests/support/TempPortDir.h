// A private folder for COM<n> links, named in TARVIK_PORT_DIR for the test's lifetime.
#pragma once

#include <filesystem>
#include <string>

#include "support/TestPlatform.h"

namespace TestSupport {

class TempPortDir {
public:
    TempPortDir() : path_(MakeTempFolder()) { SetEnvironment("TARVIK_PORT_DIR", path_); }
    ~TempPortDir() {
        UnsetEnvironment("TARVIK_PORT_DIR");
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
