#include "SerialPortsWin32.h"

#include <windows.h>

#include <cstring>

#include "TextWin32.h"

namespace {

constexpr DWORD kDataBytes = 6;

}  // namespace

std::vector<std::string> RegisteredSerialPorts() {
    std::vector<std::string> ports;
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                        &key) != ERROR_SUCCESS) {
        return ports;
    }
    DWORD count = 0;
    DWORD longestName = 0;
    if (::RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                           &longestName, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        count = 0;
    }
    for (DWORD index = 0; index < count; ++index) {
        std::string name(longestName + 1, '\0');
        DWORD nameLength = longestName + 1;
        if (::RegEnumValueA(key, index, name.data(), &nameLength, nullptr, nullptr, nullptr,
                            nullptr) != ERROR_SUCCESS) {
            continue;
        }
        char data[kDataBytes] = {};
        DWORD type = 0;
        DWORD size = kDataBytes;
        // Data too long for the buffer fails with ERROR_MORE_DATA and is not offered.
        if (::RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data),
                               &size) != ERROR_SUCCESS ||
            type != REG_SZ) {
            continue;
        }
        // Stored without its terminator, a six-character name fills the buffer: not offered.
        const std::size_t length = ::strnlen(data, kDataBytes);
        if (length == 0 || length == kDataBytes) {
            continue;
        }
        ports.push_back(NarrowText(WidenText({data, length}, CP_ACP), CP_UTF8));
    }
    ::RegCloseKey(key);
    return ports;
}
