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

// UTF-8 takes none of the strict flags (the API refuses them there, and it has no
// look-alikes to pick); every other code page converts with them.
bool Utf8CodePage() {
    static const bool utf8 = ::GetACP() == CP_UTF8;
    return utf8;
}

// Strict conversion of `in`, appended to `units`; false when a byte starts no character.
bool Widen(std::string_view in, std::wstring& units) {
    const int length = static_cast<int>(in.size());
    const DWORD flags = Utf8CodePage() ? 0 : MB_ERR_INVALID_CHARS;
    const int count = ::MultiByteToWideChar(CP_ACP, flags, in.data(), length, nullptr, 0);
    if (count <= 0) {
        return false;
    }
    const std::size_t at = units.size();
    units.resize(at + static_cast<std::size_t>(count));
    if (::MultiByteToWideChar(CP_ACP, flags, in.data(), length, units.data() + at, count) !=
        count) {
        units.resize(at);
        return false;
    }
    return true;
}

wchar_t UnicodeDefaultChar() {
    CPINFOEXW info{};
    return ::GetCPInfoExW(CP_ACP, 0, &info) ? info.UnicodeDefaultChar : L'?';
}

}  // namespace

bool LocalToUtf16Be(std::string_view in, std::span<char> out, std::size_t& produced) {
    if (in.empty()) {
        return true;
    }
    in = in.substr(0, std::min<std::size_t>(in.size(), INT32_MAX));
    std::wstring units;
    if (!Widen(in, units)) {
        // Some byte starts no character: each such byte becomes the code page's replacement
        // and everything around it converts as it stands. Left to itself the converter
        // swallows the byte after a stray lead byte (a space, a letter) or yields a private
        // character for a byte it has no row for.
        units.clear();
        const std::size_t longest = MaxBytesPerUnit();
        for (std::size_t at = 0; at < in.size();) {
            std::size_t length = 1;
            while (length <= longest && at + length <= in.size() &&
                   !Widen(in.substr(at, length), units)) {
                ++length;
            }
            if (length > longest || at + length > in.size()) {
                units.push_back(UnicodeDefaultChar());
                length = 1;
            }
            at += length;
        }
    }
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
    // No look-alikes: without WC_NO_BEST_FIT_CHARS a character the code page lacks turns
    // into a similar one (Ü into ü, £ into ￡ in GBK), a changed letter where a "?" belongs.
    // No default character is named, so the code page's own stands in. UTF-8 can show
    // everything and takes neither the flag nor the used-default argument.
    const bool utf8 = Utf8CodePage();
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* used = utf8 ? nullptr : &usedDefault;
    const int bytes =
        ::WideCharToMultiByte(CP_ACP, flags, units.data(), count, nullptr, 0, nullptr, used);
    if (bytes <= 0 || out.size() - produced < static_cast<std::size_t>(bytes)) {
        return false;
    }
    ::WideCharToMultiByte(CP_ACP, flags, units.data(), count, out.data() + produced, bytes, nullptr,
                          used);
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
