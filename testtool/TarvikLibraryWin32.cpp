#include <windows.h>

#include "TarvikLibrary.h"
#include "TextWin32.h"

namespace {

const char kFileName[] = "Tarvik.dll";

}  // namespace

std::wstring WidenText(std::string_view text, unsigned codePage) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int units = ::MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), units);
    return wide;
}

std::string NarrowText(std::wstring_view wide, unsigned codePage) {
    if (wide.empty()) {
        return {};
    }
    const int size = static_cast<int>(wide.size());
    const int bytes =
        ::WideCharToMultiByte(codePage, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(codePage, 0, wide.data(), size, text.data(), bytes, nullptr, nullptr);
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
