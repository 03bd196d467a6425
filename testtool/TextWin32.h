// Texts between a code page and UTF-16, for the Win32 front end and its loader.
#pragma once

#include <string>
#include <string_view>

std::wstring WidenText(std::string_view text, unsigned codePage);
std::string NarrowText(std::wstring_view wide, unsigned codePage);
