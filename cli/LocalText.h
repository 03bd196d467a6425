// The texts of the command line are the library's: UTF-8 on Linux, the system's ANSI code
// page on Windows. What differs between the two lives in LocalTextPosix.cpp and
// LocalTextWin32.cpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace TarvikCli {

// Whether `text` is valid in the local code page; a message is refused before it is queued
// rather than sent with replacement characters.
bool IsLocalText(std::string_view text);

// Appends UTF-16 `units` (from a JSON \u escape) in the local code page; false when a unit
// is an unpaired surrogate or the code page has no such character.
bool AppendAsLocal(std::u16string_view units, std::string& out);

// A JSON line's strings are UTF-8: these convert at serve's and receive's edges. False when
// the code page lacks a character of `utf8`.
std::string LocalToUtf8(std::string_view local);
bool Utf8ToLocal(std::string_view utf8, std::string& local);

// The program's arguments after its name, in the local code page. Nothing when one holds a
// character the code page lacks: `error` then says which, as no look-alike may take its place.
std::optional<std::vector<std::string>> LocalArguments(int argc, char** argv, std::string& error);

// The name of the local code page in messages: "UTF-8" or "code page 936".
std::string LocalCodePageName();

}  // namespace TarvikCli
