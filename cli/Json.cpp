#include "Json.h"

#include <cstdio>

#include "LocalText.h"

namespace TarvikCli {

std::string JsonQuote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                    out += escaped;
                } else {
                    out.push_back(c);
                }
        }
    }
    out.push_back('"');
    return out;
}

CJsonLine& CJsonLine::AddRaw(std::string_view key, std::string_view json) {
    if (body_.size() > 1) {
        body_.push_back(',');
    }
    body_ += JsonQuote(key);
    body_.push_back(':');
    body_ += json;
    return *this;
}

CJsonLine& CJsonLine::Add(std::string_view key, std::string_view text) {
    return AddRaw(key, JsonQuote(text));
}

CJsonLine& CJsonLine::Add(std::string_view key, int64_t number) {
    return AddRaw(key, std::to_string(number));
}

namespace {

class CReader {
public:
    CReader(std::string_view text, std::string& error) : text_(text), error_(error) {}

    std::optional<std::map<std::string, JsonValue>> Object() {
        std::map<std::string, JsonValue> members;
        SkipSpace();
        if (!Take('{')) {
            return Fail("a request is one JSON object on one line");
        }
        SkipSpace();
        if (Take('}')) {
            return End(members);
        }
        for (;;) {
            SkipSpace();
            std::string key;
            if (Peek() != '"' || !String(key)) {
                return Fail(error_.empty() ? "a key must be a string" : error_);
            }
            SkipSpace();
            if (!Take(':')) {
                return Fail("a ':' must follow the key \"" + key + "\"");
            }
            SkipSpace();
            JsonValue value;
            const std::size_t start = at_;
            if (!Value(value)) {
                return Fail(error_.empty() ? "the value of \"" + key +
                                                 "\" is not a string, "
                                                 "an integer, true, false or null"
                                           : error_);
            }
            value.json = std::string(text_.substr(start, at_ - start));
            if (!members.emplace(key, std::move(value)).second) {
                return Fail("the key \"" + key + "\" appears twice");
            }
            SkipSpace();
            if (Take('}')) {
                return End(members);
            }
            if (!Take(',')) {
                return Fail("a ',' or '}' must follow a value");
            }
        }
    }

private:
    std::optional<std::map<std::string, JsonValue>> End(std::map<std::string, JsonValue>& m) {
        SkipSpace();
        if (at_ != text_.size()) {
            return Fail("nothing may follow the object on its line");
        }
        return std::move(m);
    }

    std::nullopt_t Fail(const std::string& why) {
        error_ = why;
        return std::nullopt;
    }

    char Peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    bool Take(char c) {
        if (Peek() != c || at_ >= text_.size()) {
            return false;
        }
        ++at_;
        return true;
    }
    void SkipSpace() {
        while (at_ < text_.size() &&
               (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r')) {
            ++at_;
        }
    }
    bool Word(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) {
            return false;
        }
        at_ += word.size();
        return true;
    }

    bool Value(JsonValue& value) {
        const char c = Peek();
        if (c == '"') {
            value.kind = JsonValue::Kind::String;
            return String(value.text);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            value.kind = JsonValue::Kind::Number;
            return Integer(value.number);
        }
        if (Word("true") || Word("false")) {
            value.kind = JsonValue::Kind::Bool;
            value.flag = text_[at_ - 4] == 't';
            return true;
        }
        if (Word("null")) {
            value.kind = JsonValue::Kind::Null;
            return true;
        }
        return false;
    }

    bool Integer(int64_t& number) {
        const bool negative = Take('-');
        const std::size_t start = at_;
        uint64_t magnitude = 0;
        while (Peek() >= '0' && Peek() <= '9') {
            if (magnitude > (uint64_t{1} << 53)) {
                error_ = "a number is too large";
                return false;
            }
            magnitude = magnitude * 10 + static_cast<uint64_t>(Peek() - '0');
            ++at_;
        }
        if (at_ == start || Peek() == '.' || Peek() == 'e' || Peek() == 'E') {
            error_ = "a number must be a whole number";
            return false;
        }
        number = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
        return true;
    }

    bool Hex4(char16_t& unit) {
        if (at_ + 4 > text_.size()) {
            return false;
        }
        unsigned value = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text_[at_++];
            value <<= 4;
            if (c >= '0' && c <= '9') {
                value |= static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                value |= static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                value |= static_cast<unsigned>(c - 'A' + 10);
            } else {
                return false;
            }
        }
        unit = static_cast<char16_t>(value);
        return true;
    }

    bool String(std::string& out) {
        Take('"');
        std::u16string escaped;  // a run of \u escapes, converted as one
        const auto flush = [&] {
            const bool ok = AppendAsLocal(escaped, out);
            escaped.clear();
            if (!ok) {
                error_ = "a \\u escape names no character of the " + LocalCodePageName();
            }
            return ok;
        };
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '\\' && Peek() == 'u') {
                ++at_;
                char16_t unit = 0;
                if (!Hex4(unit)) {
                    error_ = "a \\u escape needs four hex digits";
                    return false;
                }
                escaped.push_back(unit);
                continue;
            }
            if (!flush()) {
                return false;
            }
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                error_ = "a control character inside a string must be escaped";
                return false;
            }
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            const char e = at_ < text_.size() ? text_[at_++] : '\0';
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out.push_back(e);
                    break;
                case 'n':
                    out.push_back('\n');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'b':
                    out.push_back('\b');
                    break;
                case 'f':
                    out.push_back('\f');
                    break;
                default:
                    error_ = "unknown escape in a string";
                    return false;
            }
        }
        error_ = "a string is not closed";
        return false;
    }

    std::string_view text_;
    std::string& error_;
    std::size_t at_ = 0;
};

}  // namespace

std::optional<std::map<std::string, JsonValue>> ParseJsonObject(std::string_view line,
                                                                std::string& error) {
    error.clear();
    return CReader(line, error).Object();
}

}  // namespace TarvikCli
