#include <windows.h>

#include <shellapi.h>

#include <climits>

#include "LocalText.h"

namespace TarvikCli {

bool IsLocalText(std::string_view text) {
    if (text.empty()) {
        return true;
    }
    if (text.size() > INT_MAX) {
        return false;
    }
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(),
                               static_cast<int>(text.size()), nullptr, 0) > 0;
}

bool AppendAsLocal(std::u16string_view units, std::string& out) {
    if (units.empty()) {
        return true;
    }
    const auto* wide = reinterpret_cast<const wchar_t*>(units.data());
    const int count = static_cast<int>(units.size());
    // UTF-8 takes no "used default" argument; every other code page tells whether a
    // character was missing.
    const bool utf8 = GetACP() == CP_UTF8;
    BOOL usedDefault = FALSE;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    const int size = WideCharToMultiByte(CP_ACP, flags, wide, count, nullptr, 0, nullptr,
                                         utf8 ? nullptr : &usedDefault);
    if (size <= 0 || usedDefault) {
        return false;
    }
    std::string local(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, flags, wide, count, local.data(), size, nullptr,
                        utf8 ? nullptr : &usedDefault);
    if (usedDefault) {
        return false;
    }
    out += local;
    return true;
}

namespace {

std::wstring Wide(UINT codePage, std::string_view text) {
    if (text.empty() || text.size() > INT_MAX) {
        return {};
    }
    const int count = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(codePage, 0, text.data(), count, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) {
        MultiByteToWideChar(codePage, 0, text.data(), count, wide.data(), size);
    }
    return wide;
}

}  // namespace

std::string LocalToUtf8(std::string_view local) {
    const std::wstring wide = Wide(CP_ACP, local);
    if (wide.empty()) {
        return {};
    }
    const int count = static_cast<int>(wide.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), count, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), count, utf8.data(), size, nullptr, nullptr);
    }
    return utf8;
}

bool Utf8ToLocal(std::string_view utf8, std::string& local) {
    local.clear();
    const std::wstring wide = Wide(CP_UTF8, utf8);
    return AppendAsLocal({reinterpret_cast<const char16_t*>(wide.data()), wide.size()}, local);
}

std::optional<std::vector<std::string>> LocalArguments(int argc, char** argv, std::string& error) {
    // The narrow argv is Windows' own conversion of the command line, and it picks
    // look-alikes (Ü becomes ü in code page 936): the arguments are taken wide and
    // converted here, where a missing character is seen.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return std::vector<std::string>(argv + 1, argv + argc);
    }
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) {
        const std::wstring_view arg(wide[i]);
        std::string local;
        if (!AppendAsLocal({reinterpret_cast<const char16_t*>(arg.data()), arg.size()}, local)) {
            error = "argument " + std::to_string(i) + " holds a character that " +
                    LocalCodePageName() + " does not have";
            LocalFree(wide);
            return std::nullopt;
        }
        args.push_back(std::move(local));
    }
    LocalFree(wide);
    return args;
}

std::string LocalCodePageName() {
    return "code page " + std::to_string(GetACP());
}

}  // namespace TarvikCli
