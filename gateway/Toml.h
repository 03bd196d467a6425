// The part of TOML the daemon's configuration needs: comments, [tables], [[arrays of
// tables]], and key = value with basic or literal strings, integers, booleans and arrays
// of those on one line. Anything else is refused with its line number, never guessed at.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace Tarvikd {

struct TomlValue;
using TomlArray = std::vector<TomlValue>;

struct TomlValue {
    std::variant<std::string, int64_t, bool, TomlArray> value;
    int line = 0;
};

struct TomlTable {
    std::map<std::string, TomlValue> keys;
    int line = 0;
};

struct TomlDocument {
    TomlTable root;
    std::map<std::string, TomlTable> tables;
    std::map<std::string, std::vector<TomlTable>> arrays;
};

// Nothing when the text is not in the subset; `error` then says where and why.
std::optional<TomlDocument> ParseToml(const std::string& text, std::string& error);

}  // namespace Tarvikd
