// The Tarvik library as the program sees it: loaded once, never unloaded, and every export
// looked up by name at the moment it is used, so that a library lacking one still serves
// the others. Its texts are in the local code page; the program's are UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "Tarvik.h"

class CTarvikLibrary {
public:
    // Looks for the library in `ownFolder` (UTF-8; empty: nowhere in particular) first,
    // then through the platform's search.
    explicit CTarvikLibrary(const std::string& ownFolder);
    CTarvikLibrary(const CTarvikLibrary&) = delete;
    CTarvikLibrary& operator=(const CTarvikLibrary&) = delete;
    // The library stays loaded until the process ends.
    ~CTarvikLibrary() = default;

    bool IsLoaded() const { return handle_ != nullptr; }

    // The export `name` with the type of its declaration in Tarvik.h, or null when the
    // library is not loaded or lacks it. Use as Find<decltype(SMSReport)>("SMSReport").
    template <typename Function>
    Function* Find(const char* name) const {
        return reinterpret_cast<Function*>(Symbol(name));
    }

    // Between the program's UTF-8 and the library's local code page.
    static std::string ToLocal(std::string_view utf8);
    static std::string FromLocal(std::string_view local);

    // Sets a variable of the process environment where the library reads it at its start
    // (on Windows the process's own block, not the C runtime's copy).
    static void SetEnvironment(const char* name, const char* value);

private:
    void* Symbol(const char* name) const;

    void* handle_ = nullptr;
};
