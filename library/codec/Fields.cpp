#include "codec/Fields.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "codec/LocalCodePage.h"

namespace GSM::Fields {

std::size_t Copy(std::span<char> field, std::string_view value) {
    if (field.empty()) {
        return 0;
    }
    const std::size_t n = CodePage::BoundaryBefore(value, field.size() - 1);
    std::copy_n(value.data(), n, field.data());
    field[n] = '\0';
    return n;
}

bool Append(std::span<char> field, std::size_t& used, std::string_view piece) {
    if (used >= field.size() || piece.size() > field.size() - used - 1) {
        return false;
    }
    std::copy(piece.begin(), piece.end(), field.begin() + static_cast<std::ptrdiff_t>(used));
    used += piece.size();
    field[used] = '\0';
    return true;
}

long ReadNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr long kLimit = std::numeric_limits<long>::max() / 10 - 9;
    long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value < kLimit) {
            value = value * 10 + (text[i] - '0');
        }
    }
    return negative ? -value : value;
}

int ReadIndex(std::string_view fields) {
    std::size_t i = fields.find_first_not_of(' ');
    if (i == std::string_view::npos) {
        return -1;
    }
    const std::size_t digitsStart = i;
    int value = 0;
    for (; i < fields.size() && fields[i] >= '0' && fields[i] <= '9'; ++i) {
        if (i - digitsStart == 5) {
            return -1;
        }
        value = value * 10 + (fields[i] - '0');
    }
    if (i == digitsStart) {
        return -1;
    }
    i = std::min(fields.find_first_not_of(' ', i), fields.size());
    return i == fields.size() || fields[i] == ',' || fields[i] == '\r' ? value : -1;
}

void WriteStamp(std::span<char> field, const std::array<long, 6>& values) {
    std::size_t used = 0;
    for (long value : values) {
        const long clamped = std::clamp(value, 0L, 99L);
        const char pair[2] = {static_cast<char>('0' + clamped / 10),
                              static_cast<char>('0' + clamped % 10)};
        if (!Append(field, used, std::string_view(pair, 2))) {
            return;
        }
    }
}

std::string_view View(std::span<const char> field) {
    const void* end = std::memchr(field.data(), '\0', field.size());
    const std::size_t n =
        end == nullptr ? field.size()
                       : static_cast<std::size_t>(static_cast<const char*>(end) - field.data());
    return {field.data(), n};
}

}  // namespace GSM::Fields
