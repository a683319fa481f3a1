#include "app/update/Version.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

namespace {

enum class Kind { number, letters, separator };

Kind kindOf(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isdigit(u) != 0) {
        return Kind::number;
    }
    if (c == '.' || std::isspace(u) != 0 || std::ispunct(u) != 0) {
        return Kind::separator;
    }
    return Kind::letters;
}

// Runs of digits, runs of letters; every separator is a run of its own.
std::vector<std::string_view> split(std::string_view version) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 1; i <= version.size(); ++i) {
        if (i == version.size() || kindOf(version[i]) != kindOf(version[start]) ||
            kindOf(version[start]) == Kind::separator) {
            parts.push_back(version.substr(start, i - start));
            start = i;
        }
    }
    return parts;
}

// Digit runs longer than 18 saturate; isVersionString keeps them out of feeds.
std::uint64_t numberOf(std::string_view digits) {
    std::uint64_t value = 0;
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return result.ec == std::errc() ? value : UINT64_MAX;
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

}  // namespace

int compareVersions(std::string_view a, std::string_view b) {
    const auto partsA = split(a);
    const auto partsB = split(b);
    const std::size_t common = std::min(partsA.size(), partsB.size());
    for (std::size_t i = 0; i < common; ++i) {
        const Kind kindA = kindOf(partsA[i].front());
        const Kind kindB = kindOf(partsB[i].front());
        if (kindA == kindB) {
            if (kindA == Kind::number) {
                const auto valueA = numberOf(partsA[i]);
                const auto valueB = numberOf(partsB[i]);
                if (valueA != valueB) {
                    return valueA > valueB ? 1 : -1;
                }
            } else if (kindA == Kind::letters) {
                if (const int order = partsA[i].compare(partsB[i]); order != 0) {
                    return sign(order);
                }
            }
            continue;
        }
        // Letters lose to anything; a number beats a separator.
        if (kindB == Kind::letters) {
            return 1;
        }
        if (kindA == Kind::letters) {
            return -1;
        }
        return kindA == Kind::number ? 1 : -1;
    }
    if (partsA.size() == partsB.size()) {
        return 0;
    }
    // The longer one goes on: letters there mean a pre-release of the shorter, anything else a
    // later version.
    const bool aLonger = partsA.size() > partsB.size();
    const Kind next = kindOf((aLonger ? partsA : partsB)[common].front());
    const int longerWins = next == Kind::letters ? -1 : 1;
    return aLonger ? longerWins : -longerWins;
}

bool isVersionString(std::string_view version) {
    constexpr std::size_t kMaxLength = 64;
    constexpr std::size_t kMaxDigits = 18;
    if (version.empty() || version.size() > kMaxLength || kindOf(version.front()) != Kind::number) {
        return false;
    }
    const bool charactersOk = std::all_of(version.begin(), version.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' ||
               c == '_' || c == '+';
    });
    if (!charactersOk) {
        return false;
    }
    const auto parts = split(version);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const Kind kind = kindOf(parts[i].front());
        if (kind == Kind::number && parts[i].size() > kMaxDigits) {
            return false;
        }
        // Separators only between runs: no "1..2", no "1.2."
        if (kind == Kind::separator &&
            (i + 1 == parts.size() || kindOf(parts[i + 1].front()) == Kind::separator)) {
            return false;
        }
    }
    return true;
}

}  // namespace kestrel
