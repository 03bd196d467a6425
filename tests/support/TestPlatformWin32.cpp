#include <windows.h>

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

#include "TestPlatform.h"

namespace TestSupport {

std::string MakeTempFolder() {
    const auto base = std::filesystem::temp_directory_path();
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        const auto path = base / ("tarvik-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                  std::to_string(::GetTickCount64() + attempt));
        if (::CreateDirectoryW(path.c_str(), nullptr)) {
            return path.string();
        }
    }
    throw std::runtime_error("no temporary folder");
}

void SetEnvironment(const std::string& name, const std::string& value) {
    ::_putenv_s(name.c_str(), value.c_str());
}

void UnsetEnvironment(const std::string& name) {
    ::_putenv_s(name.c_str(), "");
}

std::string LocalText(std::string_view utf8) {
    const int size = static_cast<int>(utf8.size());
    std::wstring wide(utf8.size(), L'\0');
    wide.resize(static_cast<std::size_t>(
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), size)));
    const int units = static_cast<int>(wide.size());
    std::string local(wide.size() * 4, '\0');
    local.resize(static_cast<std::size_t>(
        ::WideCharToMultiByte(CP_ACP, 0, wide.data(), units, local.data(),
                              static_cast<int>(local.size()), nullptr, nullptr)));
    return local;
}

std::chrono::milliseconds ProcessCpuTime() {
    FILETIME created{}, exited{}, kernel{}, user{};
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ms = [](const FILETIME& t) {
        const auto ticks = (static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                           t.dwLowDateTime;  // in 100 ns
        return std::chrono::milliseconds(ticks / 10000);
    };
    return ms(kernel) + ms(user);
}

}  // namespace TestSupport
