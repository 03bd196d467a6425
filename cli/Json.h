// JSON lines for `receive --format json` and `serve`: one object per line, written flat,
// read flat. Texts stay in the local code page; only the JSON syntax is escaped.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace TarvikCli {

// `text` as a JSON string literal, quotes included. Control characters are escaped; other
// bytes pass unchanged.
std::string JsonQuote(std::string_view text);

// Builds one object: Add in order, then Line() for the text with its line end.
class CJsonLine {
public:
    CJsonLine& Add(std::string_view key, std::string_view text);
    CJsonLine& Add(std::string_view key, const char* text) {
        return Add(key, std::string_view(text));
    }
    CJsonLine& Add(std::string_view key, int64_t number);
    CJsonLine& Add(std::string_view key, int number) { return Add(key, int64_t{number}); }
    // A value already in JSON form, such as a request's id echoed back.
    CJsonLine& AddRaw(std::string_view key, std::string_view json);
    std::string Line() const { return body_ + "}\n"; }

private:
    std::string body_ = "{";
};

struct JsonValue {
    enum class Kind { String, Number, Bool, Null };
    Kind kind = Kind::Null;
    std::string text;  // a string's content, in the local code page
    int64_t number = 0;
    bool flag = false;
    std::string json;  // the value as it was written, for echoing back
};

// One request line: an object whose values are strings, integers, true, false or null.
// Nothing when the line is not such an object; `error` then says why.
std::optional<std::map<std::string, JsonValue>> ParseJsonObject(std::string_view line,
                                                                std::string& error);

}  // namespace TarvikCli
