#include <windows.h>

#include <algorithm>
#include <string>

#include "codec/LocalCodePage.h"

namespace GSM::CodePage {

namespace {

std::wstring FromBigEndian(std::string_view in) {
    std::wstring units(in.size() / 2, L'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        const auto unit = static_cast<wchar_t>(static_cast<uint8_t>(in[2 * i]) << 8 |
                                               static_cast<uint8_t>(in[2 * i + 1]));
        units[i] = unit;
    }
    // A lone surrogate is no character: "?", as on every platform.
    for (std::size_t i = 0; i < units.size(); ++i) {
        const wchar_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            units[i] = L'?';
        }
    }
    return units;
}

CPINFO CodePageInfo() {
    CPINFO info{};
    if (!::GetCPInfo(CP_ACP, &info)) {
        info.MaxCharSize = 4;  // the longest any code page has
    }
    return info;
}

}  // namespace

bool LocalToUtf16Be(std::string_view in, std::span<char> out, std::size_t& produced) {
    if (in.empty()) {
        return true;
    }
    const int length = static_cast<int>(std::min<std::size_t>(in.size(), INT32_MAX));
    // Without MB_ERR_INVALID_CHARS a byte that starts no character becomes the code
    // page's replacement, so a caller's text never turns into nothing.
    const int count = ::MultiByteToWideChar(CP_ACP, 0, in.data(), length, nullptr, 0);
    if (count <= 0) {
        return false;
    }
    std::wstring units(static_cast<std::size_t>(count), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, in.data(), length, units.data(), count);
    if (out.size() - produced < 2 * units.size()) {
        return false;
    }
    for (wchar_t unit : units) {
        out[produced++] = static_cast<char>(unit >> 8);
        out[produced++] = static_cast<char>(unit & 0xFF);
    }
    return true;
}

bool Utf16BeToLocal(std::string_view in, std::span<char> out, std::size_t& produced) {
    const std::wstring units = FromBigEndian(in);
    if (units.empty()) {
        return true;
    }
    const int count = static_cast<int>(units.size());
    // No default character is named: the code page's own stands for what it cannot show
    // (UTF-8, where none may be named, can show everything).
    const int bytes =
        ::WideCharToMultiByte(CP_ACP, 0, units.data(), count, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0 || out.size() - produced < static_cast<std::size_t>(bytes)) {
        return false;
    }
    ::WideCharToMultiByte(CP_ACP, 0, units.data(), count, out.data() + produced, bytes, nullptr,
                          nullptr);
    produced += static_cast<std::size_t>(bytes);
    return true;
}

std::size_t MaxBytesPerUnit() {
    static const std::size_t longest = std::max<std::size_t>(1, CodePageInfo().MaxCharSize);
    return longest;
}

std::size_t BoundaryBefore(std::string_view value, std::size_t room) {
    if (value.size() <= room) {
        return value.size();
    }
    if (MaxBytesPerUnit() == 1) {
        return room;
    }
    if (::GetACP() == CP_UTF8) {
        // Back off over the continuation bytes of a sequence the cut would split.
        std::size_t cut = room;
        while (cut > 0 && room - cut < 3 && (static_cast<uint8_t>(value[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        return cut;
    }
    // Walk whole characters from the start: in a double-byte code page a trail byte can look
    // like any other byte, so only the way from the front tells where a character begins.
    std::size_t at = 0;
    while (at < room) {
        const char* next = ::CharNextExA(CP_ACP, value.data() + at, 0);
        const auto step = static_cast<std::size_t>(next - (value.data() + at));
        if (step == 0 || at + step > room) {
            break;
        }
        at += step;
    }
    return at;
}

}  // namespace GSM::CodePage
