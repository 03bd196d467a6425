// The references of concatenated messages: a phone joins parts by sender and reference, so
// a reference used for a number is not used for it again within a day, across restarts too.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace GSM {

class CReferenceBook {
public:
    static constexpr int64_t kHoldSeconds = 24 * 60 * 60;

    // `path` empty: kept in memory only, from a reference chosen by the clock.
    explicit CReferenceBook(std::string path);

    // The reference for a long message to `number` at `now` (seconds), written to the file
    // before it is given; none when every reference was used for the number within a day,
    // or the file cannot be written.
    std::optional<uint8_t> Take(std::string_view number, int64_t now);

    // The file: TARVIK_CONCAT_REFERENCES, else beside TARVIK_INBOX_JOURNAL, else none.
    static std::string PathFromEnvironment();

private:
    struct Use {
        uint8_t reference;
        int64_t time;
    };
    void Load();
    bool Save() const;

    std::string path_;
    uint8_t next_ = 0;
    std::map<std::string, std::vector<Use>, std::less<>> used_;
};

}  // namespace GSM
