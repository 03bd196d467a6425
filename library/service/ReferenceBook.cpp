#include "service/ReferenceBook.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/Environment.h"

namespace GSM {

CReferenceBook::CReferenceBook(std::string path) : path_(std::move(path)) {
    // Without a file a restart forgets: start where the last run is least likely to be.
    const auto ticks = std::chrono::system_clock::now().time_since_epoch().count();
    next_ = static_cast<uint8_t>(ticks ^ (ticks >> 8) ^ (ticks >> 16));
    Load();
}

std::string CReferenceBook::PathFromEnvironment() {
    const std::string named = platform::EnvironmentValue("TARVIK_CONCAT_REFERENCES");
    if (!named.empty()) {
        return named;
    }
    const std::string journal = platform::EnvironmentValue("TARVIK_INBOX_JOURNAL");
    return journal.empty() ? std::string() : journal + ".references";
}

// One line "next <n>", then one line per number: the number and its "reference:time" uses.
void CReferenceBook::Load() {
    if (path_.empty()) {
        return;
    }
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string number;
        words >> number;
        if (number == "next") {
            int next = 0;
            words >> next;
            next_ = static_cast<uint8_t>(next);
            continue;
        }
        unsigned reference = 0;
        char colon = 0;
        int64_t time = 0;
        while (words >> reference >> colon >> time) {
            used_[number].push_back({static_cast<uint8_t>(reference), time});
        }
    }
}

bool CReferenceBook::Save() const {
    if (path_.empty()) {
        return true;
    }
    // A name of its own: two programs may keep the same file.
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::string temporary = path_ + ".new" + std::to_string(ticks) +
                                  std::to_string(reinterpret_cast<std::uintptr_t>(this));
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << "next " << static_cast<int>(next_) << '\n';
        for (const auto& [number, uses] : used_) {
            out << number;
            for (const Use& use : uses) {
                out << ' ' << static_cast<int>(use.reference) << ':' << use.time;
            }
            out << '\n';
        }
        out.flush();
        if (!out) {
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path_, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
    }
    return !error;
}

std::optional<uint8_t> CReferenceBook::Take(std::string_view number, int64_t now) {
    // Uses older than a day no longer bind; a clock set back keeps them.
    for (auto it = used_.begin(); it != used_.end();) {
        std::erase_if(it->second, [&](const Use& use) { return use.time + kHoldSeconds <= now; });
        it = it->second.empty() ? used_.erase(it) : std::next(it);
    }
    auto& uses = used_[std::string(number)];
    for (int step = 0; step < 256; ++step) {
        const auto candidate = static_cast<uint8_t>(next_ + step);
        const bool recent = std::any_of(uses.begin(), uses.end(),
                                        [&](const Use& use) { return use.reference == candidate; });
        if (recent) {
            continue;
        }
        uses.push_back({candidate, now});
        next_ = static_cast<uint8_t>(candidate + 1);
        if (!Save()) {
            uses.pop_back();
            return std::nullopt;
        }
        return candidate;
    }
    return std::nullopt;
}

}  // namespace GSM
