#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <stdexcept>

#include "TestPlatform.h"

namespace TestSupport {

std::string MakeTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp");
    }
    return pattern;
}

void SetEnvironment(const std::string& name, const std::string& value) {
    ::setenv(name.c_str(), value.c_str(), 1);
}

void UnsetEnvironment(const std::string& name) {
    ::unsetenv(name.c_str());
}

std::string LocalText(std::string_view utf8) {
    return std::string(utf8);
}

std::chrono::milliseconds ProcessCpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) {
        return std::chrono::milliseconds(t.tv_sec * 1000 + t.tv_usec / 1000);
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

}  // namespace TestSupport
