#pragma once

#include <string_view>

namespace kestrel {

// Compares two version strings the way Sparkle's standard comparator does: each string splits
// into runs of digits, runs of letters and single separators ("." and punctuation); runs compare
// pairwise (numbers by value, letters by text, a number beats a separator, anything beats
// letters), and where one string runs out, extra letters make it older ("1.2rc1" < "1.2") and
// extra numbers make it newer ("1.2" < "1.2.1"). Returns <0, 0 or >0 like strcmp.
int compareVersions(std::string_view a, std::string_view b);

// True for what a feed may publish as a version: starts with a digit, holds only letters, digits
// and ".-_+", every number fits 18 digits, at most 64 characters in all. Anything else would
// compare in ways nobody meant ("latest", "", "v2", "1..2").
bool isVersionString(std::string_view version);

}  // namespace kestrel
