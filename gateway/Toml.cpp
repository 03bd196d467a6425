#include "Toml.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace Tarvikd {

namespace {

class CParser {
public:
    CParser(const std::string& text, std::string& error) : text_(text), error_(error) {}

    std::optional<TomlDocument> Parse() {
        TomlDocument document;
        TomlTable* current = &document.root;
        while (at_ < text_.size()) {
            SkipBlank();
            if (AtLineEnd()) {
                if (!EndLine()) {
                    return std::nullopt;
                }
                continue;
            }
            if (Peek() == '[') {
                const bool array = text_.compare(at_, 2, "[[") == 0;
                at_ += array ? 2 : 1;
                SkipBlank();
                const std::optional<std::string> name = Key();
                if (!name) {
                    return std::nullopt;
                }
                SkipBlank();
                if (text_.compare(at_, array ? 2 : 1, array ? "]]" : "]") != 0) {
                    return Fail("a table name ends with " + std::string(array ? "]]" : "]"));
                }
                at_ += array ? 2 : 1;
                if (document.root.keys.count(*name) != 0 ||
                    (array ? document.tables.count(*name) : document.arrays.count(*name)) != 0) {
                    return Fail("'" + *name + "' is defined twice");
                }
                if (array) {
                    auto& list = document.arrays[*name];
                    list.push_back(TomlTable{{}, line_});
                    current = &list.back();
                } else {
                    if (document.tables.count(*name) != 0) {
                        return Fail("the table [" + *name + "] appears twice");
                    }
                    current = &document.tables[*name];
                    current->line = line_;
                }
            } else {
                const std::optional<std::string> key = Key();
                if (!key) {
                    return std::nullopt;
                }
                SkipBlank();
                if (Peek() != '=') {
                    return Fail("'" + *key + "' needs = and a value");
                }
                ++at_;
                SkipBlank();
                std::optional<TomlValue> value = Value();
                if (!value) {
                    return std::nullopt;
                }
                if (current->keys.count(*key) != 0) {
                    return Fail("'" + *key + "' is given twice");
                }
                current->keys[*key] = std::move(*value);
            }
            SkipBlank();
            if (!EndLine()) {
                return std::nullopt;
            }
        }
        return document;
    }

private:
    char Peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    bool AtLineEnd() const {
        return at_ >= text_.size() || Peek() == '#' || Peek() == '\n' || Peek() == '\r';
    }
    void SkipBlank() {
        while (Peek() == ' ' || Peek() == '\t') {
            ++at_;
        }
    }

    // A comment, then the line end (or the end of the text).
    bool EndLine() {
        if (Peek() == '#') {
            while (at_ < text_.size() && Peek() != '\n') {
                ++at_;
            }
        }
        if (Peek() == '\r') {
            ++at_;
        }
        if (at_ >= text_.size()) {
            return true;
        }
        if (Peek() != '\n') {
            Fail("unexpected text after the value");
            return false;
        }
        ++at_;
        ++line_;
        return true;
    }

    std::nullopt_t Fail(const std::string& why) {
        error_ = "line " + std::to_string(line_) + ": " + why;
        return std::nullopt;
    }

    std::optional<std::string> Key() {
        if (Peek() == '"') {
            return String();
        }
        const std::size_t start = at_;
        while (std::isalnum(static_cast<unsigned char>(Peek())) != 0 || Peek() == '_' ||
               Peek() == '-') {
            ++at_;
        }
        if (at_ == start) {
            return Fail("a key or table name is expected here");
        }
        return text_.substr(start, at_ - start);
    }

    std::optional<std::string> String() {
        const char quote = Peek();
        ++at_;
        std::string out;
        while (true) {
            if (at_ >= text_.size() || Peek() == '\n') {
                return Fail("a string is not closed on its line");
            }
            const char c = text_[at_++];
            if (c == quote) {
                return out;
            }
            if (c != '\\' || quote == '\'') {
                out += c;
                continue;
            }
            const char escape = Peek();
            ++at_;
            switch (escape) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'u': {
                    unsigned code = 0;
                    const auto [end, failed] =
                        std::from_chars(text_.data() + at_,
                                        text_.data() + std::min(at_ + 4, text_.size()), code, 16);
                    if (failed != std::errc() || end != text_.data() + at_ + 4 ||
                        (code >= 0xD800 && code <= 0xDFFF)) {
                        return Fail("\\u takes four hex digits of a character");
                    }
                    at_ += 4;
                    AppendUtf8(out, code);
                    break;
                }
                default:
                    return Fail("unknown escape in a string");
            }
        }
    }

    static void AppendUtf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    std::optional<TomlValue> Value() {
        TomlValue value;
        value.line = line_;
        const char c = Peek();
        if (c == '"' || c == '\'') {
            auto text = String();
            if (!text) {
                return std::nullopt;
            }
            value.value = std::move(*text);
            return value;
        }
        if (text_.compare(at_, 4, "true") == 0) {
            at_ += 4;
            value.value = true;
            return value;
        }
        if (text_.compare(at_, 5, "false") == 0) {
            at_ += 5;
            value.value = false;
            return value;
        }
        if (c == '[') {
            ++at_;
            TomlArray items;
            while (true) {
                SkipBlank();
                if (Peek() == ']') {
                    ++at_;
                    break;
                }
                auto item = Value();
                if (!item) {
                    return std::nullopt;
                }
                items.push_back(std::move(*item));
                SkipBlank();
                if (Peek() == ',') {
                    ++at_;
                } else if (Peek() != ']') {
                    return Fail(
                        "an array lists its values with commas and ends with ] on its line");
                }
            }
            value.value = std::move(items);
            return value;
        }
        std::string digits;
        std::size_t start = at_;
        if (c == '+' || c == '-') {
            digits += c;
            ++at_;
        }
        while (std::isdigit(static_cast<unsigned char>(Peek())) != 0 || Peek() == '_') {
            if (Peek() != '_') {
                digits += Peek();
            }
            ++at_;
        }
        if (digits.empty() || digits == "+" || digits == "-") {
            at_ = start;
            return Fail("a value is a \"string\", an integer, true, false or an [array]");
        }
        int64_t number = 0;
        const char* first = digits.data() + (digits[0] == '+' ? 1 : 0);
        const auto [end, failed] = std::from_chars(first, digits.data() + digits.size(), number);
        if (failed != std::errc() || end != digits.data() + digits.size()) {
            at_ = start;
            return Fail("a value is a \"string\", an integer, true, false or an [array]");
        }
        value.value = number;
        return value;
    }

    const std::string& text_;
    std::string& error_;
    std::size_t at_ = 0;
    int line_ = 1;
};

}  // namespace

std::optional<TomlDocument> ParseToml(const std::string& text, std::string& error) {
    return CParser(text, error).Parse();
}

}  // namespace Tarvikd
