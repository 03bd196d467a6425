// What the tests need of the system beyond the standard library, one file per platform.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace TestSupport {

// A new empty folder under the temporary folder; throws std::runtime_error on failure.
std::string MakeTempFolder();
void SetEnvironment(const std::string& name, const std::string& value);
void UnsetEnvironment(const std::string& name);
// A text the tests write in UTF-8, in the library's local code page: the same bytes on
// Linux, the system's ANSI code page on Windows (characters it lacks become its default).
std::string LocalText(std::string_view utf8);
// CPU time of the whole process, user and system.
std::chrono::milliseconds ProcessCpuTime();

}  // namespace TestSupport
