#include <windows.h>

#include "TarvikLibrary.h"
#include "TextWin32.h"

namespace {

const char kFileName[] = "Tarvik.dll";

// The strict flags belong to the code pages that can guess; UTF-8 (named, or the ANSI
// code page of a system set to it) refuses them.
bool IsUtf8(unsigned codePage) {
    return codePage == CP_UTF8 || (codePage == CP_ACP && ::GetACP() == CP_UTF8);
}

DWORD StrictFlags(unsigned codePage, DWORD flag) {
    return IsUtf8(codePage) ? 0 : flag;
}

// Appends `text` converted strictly; false when a byte starts no character.
bool WidenStrictly(std::string_view text, unsigned codePage, std::wstring& wide) {
    const DWORD flags = StrictFlags(codePage, MB_ERR_INVALID_CHARS);
    const int size = static_cast<int>(text.size());
    const int units = ::MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
    if (units <= 0) {
        return false;
    }
    const std::size_t at = wide.size();
    wide.resize(at + static_cast<std::size_t>(units));
    ::MultiByteToWideChar(codePage, flags, text.data(), size, wide.data() + at, units);
    return true;
}

}  // namespace

std::wstring WidenText(std::string_view text, unsigned codePage) {
    std::wstring wide;
    if (text.empty() || WidenStrictly(text, codePage, wide)) {
        return wide;
    }
    // A byte that starts no character shows as "?", and only that byte: the converter left
    // to itself takes the byte after a stray lead byte with it.
    CPINFO info{};
    const std::size_t longest = ::GetCPInfo(codePage, &info) ? info.MaxCharSize : 4;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = 1;
        while (length <= longest && at + length <= text.size() &&
               !WidenStrictly(text.substr(at, length), codePage, wide)) {
            ++length;
        }
        if (length > longest || at + length > text.size()) {
            wide.push_back(L'?');
            length = 1;
        }
        at += length;
    }
    return wide;
}

std::string NarrowText(std::wstring_view wide, unsigned codePage) {
    if (wide.empty()) {
        return {};
    }
    // No look-alikes: a character the code page lacks becomes its default character ("?"),
    // not a similar letter (Ü is not ü).
    const DWORD flags = StrictFlags(codePage, WC_NO_BEST_FIT_CHARS);
    BOOL usedDefault = FALSE;
    BOOL* used = IsUtf8(codePage) ? nullptr : &usedDefault;
    const int size = static_cast<int>(wide.size());
    const int bytes =
        ::WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, nullptr, used);
    if (bytes <= 0) {
        return {};
    }
    std::string text(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(codePage, flags, wide.data(), size, text.data(), bytes, nullptr, used);
    return text;
}

CTarvikLibrary::CTarvikLibrary(const std::string& ownFolder) {
    if (!ownFolder.empty()) {
        const std::wstring path = WidenText(ownFolder + '\\' + kFileName, CP_UTF8);
        handle_ = ::LoadLibraryW(path.c_str());
        if (handle_ != nullptr) {
            return;
        }
    }
    // The platform's search begins with the program's own folder.
    handle_ = ::LoadLibraryA(kFileName);
}

void* CTarvikLibrary::Symbol(const char* name) const {
    if (handle_ == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

// The library's texts are in the system's ANSI code page: GBK on a Chinese system.
std::string CTarvikLibrary::ToLocal(std::string_view utf8) {
    return NarrowText(WidenText(utf8, CP_UTF8), CP_ACP);
}

std::string CTarvikLibrary::FromLocal(std::string_view local) {
    return NarrowText(WidenText(local, CP_ACP), CP_UTF8);
}

void CTarvikLibrary::SetEnvironment(const char* name, const char* value) {
    ::SetEnvironmentVariableA(name, value);
}
