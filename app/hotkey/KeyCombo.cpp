#include "app/hotkey/KeyCombo.h"

#include <array>
#include <map>
#include <string>

namespace kestrel {

namespace {

struct KeyInfo {
    Key key;
    std::string_view name;
    std::uint32_t code;
    std::string_view display;
    // Whether the display text is also a spelling the parser accepts. Keys that share a symbol
    // with another key (the right-hand modifiers, keypad enter) and the keypad keys, whose
    // characters belong to the main keys, are read by name only.
    bool displayParses;
};

#define KEY(k, code, display, parses)     \
    KeyInfo {                             \
        Key::k, #k, code, display, parses \
    }
#define KEY_NAMED(k, name, code, display, parses) \
    KeyInfo {                                     \
        Key::k, name, code, display, parses       \
    }

constexpr std::array<KeyInfo, kKeyCount> kKeys = {{
    KEY(a, 0, "A", true),
    KEY(b, 11, "B", true),
    KEY(c, 8, "C", true),
    KEY(d, 2, "D", true),
    KEY(e, 14, "E", true),
    KEY(f, 3, "F", true),
    KEY(g, 5, "G", true),
    KEY(h, 4, "H", true),
    KEY(i, 34, "I", true),
    KEY(j, 38, "J", true),
    KEY(k, 40, "K", true),
    KEY(l, 37, "L", true),
    KEY(m, 46, "M", true),
    KEY(n, 45, "N", true),
    KEY(o, 31, "O", true),
    KEY(p, 35, "P", true),
    KEY(q, 12, "Q", true),
    KEY(r, 15, "R", true),
    KEY(s, 1, "S", true),
    KEY(t, 17, "T", true),
    KEY(u, 32, "U", true),
    KEY(v, 9, "V", true),
    KEY(w, 13, "W", true),
    KEY(x, 7, "X", true),
    KEY(y, 16, "Y", true),
    KEY(z, 6, "Z", true),
    KEY(zero, 29, "0", true),
    KEY(one, 18, "1", true),
    KEY(two, 19, "2", true),
    KEY(three, 20, "3", true),
    KEY(four, 21, "4", true),
    KEY(five, 23, "5", true),
    KEY(six, 22, "6", true),
    KEY(seven, 26, "7", true),
    KEY(eight, 28, "8", true),
    KEY(nine, 25, "9", true),
    KEY(period, 47, ".", true),
    KEY(quote, 39, "\"", true),
    KEY(rightBracket, 30, "]", true),
    KEY(semicolon, 41, ";", true),
    KEY(slash, 44, "/", true),
    KEY(backslash, 42, "\\", true),
    KEY(comma, 43, ",", true),
    KEY(equal, 24, "=", true),
    KEY(grave, 50, "`", true),
    KEY(leftBracket, 33, "[", true),
    KEY(minus, 27, "-", true),
    KEY(section, 10, "§", true),
    KEY(space, 49, "␣", true),
    KEY(tab, 48, "⇥", true),
    KEY_NAMED(return_, "return", 36, "↩︎", true),
    KEY(command, 55, "⌘", true),
    KEY(rightCommand, 54, "⌘", false),
    KEY(option, 58, "⌥", true),
    KEY(rightOption, 61, "⌥", false),
    KEY(control, 59, "⌃", true),
    KEY(rightControl, 62, "⌃", false),
    KEY(shift, 56, "⇧", true),
    KEY(rightShift, 60, "⇧", false),
    KEY(function, 63, "fn", true),
    KEY(capsLock, 57, "⇪", true),
    KEY(pageUp, 116, "⇞", true),
    KEY(pageDown, 121, "⇟", true),
    KEY(home, 115, "↖", true),
    KEY(end, 119, "↘", true),
    KEY(upArrow, 126, "↑", true),
    KEY(rightArrow, 124, "→", true),
    KEY(downArrow, 125, "↓", true),
    KEY(leftArrow, 123, "←", true),
    KEY(f1, 122, "\uF860F1", true),
    KEY(f2, 120, "\uF860F2", true),
    KEY(f3, 99, "\uF860F3", true),
    KEY(f4, 118, "\uF860F4", true),
    KEY(f5, 96, "\uF860F5", true),
    KEY(f6, 97, "\uF860F6", true),
    KEY(f7, 98, "\uF860F7", true),
    KEY(f8, 100, "\uF860F8", true),
    KEY(f9, 101, "\uF860F9", true),
    KEY(f10, 109, "\uF861F10", true),
    KEY(f11, 103, "\uF861F11", true),
    KEY(f12, 111, "\uF861F12", true),
    KEY(f13, 105, "\uF861F13", true),
    KEY(f14, 107, "\uF861F14", true),
    KEY(f15, 113, "\uF861F15", true),
    KEY(f16, 106, "\uF861F16", true),
    KEY(f17, 64, "\uF861F17", true),
    KEY(f18, 79, "\uF861F18", true),
    KEY(f19, 80, "\uF861F19", true),
    KEY(f20, 90, "\uF861F20", true),
    KEY(keypad0, 82, "0", false),
    KEY(keypad1, 83, "1", false),
    KEY(keypad2, 84, "2", false),
    KEY(keypad3, 85, "3", false),
    KEY(keypad4, 86, "4", false),
    KEY(keypad5, 87, "5", false),
    KEY(keypad6, 88, "6", false),
    KEY(keypad7, 89, "7", false),
    KEY(keypad8, 91, "8", false),
    KEY(keypad9, 92, "9", false),
    KEY(keypadClear, 71, "⌧", true),
    KEY(keypadDecimal, 65, ".", false),
    KEY(keypadDivide, 75, "/", false),
    KEY(keypadEnter, 76, "↩︎", false),
    KEY(keypadEquals, 81, "=", false),
    KEY(keypadMinus, 78, "-", false),
    KEY(keypadMultiply, 67, "𝗑", false),
    KEY(keypadPlus, 69, "+", false),
    KEY(escape, 53, "⎋", true),
    KEY_NAMED(delete_, "delete", 51, "⌫", true),
    KEY(forwardDelete, 117, "⌦", true),
    KEY(help, 114, "?⃝", true),
    KEY(volumeUp, 72, "🔊", true),
    KEY(volumeDown, 73, "🔉", true),
    KEY(mute, 74, "🔇", true),
}};

#undef KEY
#undef KEY_NAMED

constexpr bool tableMatchesEnumeration() {
    for (std::size_t index = 0; index < kKeys.size(); ++index) {
        if (static_cast<std::size_t>(kKeys[index].key) != index) {
            return false;
        }
    }
    return true;
}
static_assert(tableMatchesEnumeration(), "the key table follows the enumeration's order");

const KeyInfo& info(Key key) {
    return kKeys[static_cast<std::size_t>(key)];
}

std::string asciiLower(std::string_view text) {
    std::string lower(text);
    for (char& character : lower) {
        if (character >= 'A' && character <= 'Z') {
            character = static_cast<char>(character - 'A' + 'a');
        }
    }
    return lower;
}

std::map<std::string, Key, std::less<>> buildSpellings() {
    std::map<std::string, Key, std::less<>> spellings;
    for (const KeyInfo& entry : kKeys) {
        spellings.emplace(asciiLower(entry.name), entry.key);
        if (entry.displayParses) {
            spellings.emplace(asciiLower(entry.display), entry.key);
        }
    }
    const std::pair<std::string_view, Key> aliases[] = {
        {"⏎", Key::return_}, {"⮐", Key::return_}, {"\r", Key::return_}, {"\t", Key::tab},
        {" ", Key::space},   {"ˋ", Key::grave},     {"｀", Key::grave},   {"\uF8FF", Key::command},
    };
    for (const auto& [spelling, key] : aliases) {
        spellings.emplace(std::string(spelling), key);
    }
    return spellings;
}

}  // namespace

std::string_view keyName(Key key) {
    return info(key).name;
}

std::uint32_t carbonKeyCode(Key key) {
    return info(key).code;
}

std::optional<Key> keyFromCarbonKeyCode(std::uint32_t code) {
    for (const KeyInfo& entry : kKeys) {
        if (entry.code == code) {
            return entry.key;
        }
    }
    return std::nullopt;
}

std::string_view displayText(Key key) {
    return info(key).display;
}

std::optional<Key> parseKey(std::string_view text) {
    static const auto spellings = buildSpellings();
    const auto found = spellings.find(asciiLower(text));
    if (found == spellings.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::uint32_t carbonModifiersFrom(std::uint64_t modifierFlags) {
    std::uint32_t mask = 0;
    if ((modifierFlags & modifier::kCommand) != 0) {
        mask |= carbon::kCommand;
    }
    if ((modifierFlags & modifier::kOption) != 0) {
        mask |= carbon::kOption;
    }
    if ((modifierFlags & modifier::kControl) != 0) {
        mask |= carbon::kControl;
    }
    if ((modifierFlags & modifier::kShift) != 0) {
        mask |= carbon::kShift;
    }
    return mask;
}

std::uint64_t modifierFlagsFrom(std::uint32_t carbonModifiers) {
    std::uint64_t flags = 0;
    if ((carbonModifiers & carbon::kCommand) != 0) {
        flags |= modifier::kCommand;
    }
    if ((carbonModifiers & carbon::kOption) != 0) {
        flags |= modifier::kOption;
    }
    if ((carbonModifiers & carbon::kControl) != 0) {
        flags |= modifier::kControl;
    }
    if ((carbonModifiers & carbon::kShift) != 0) {
        flags |= modifier::kShift;
    }
    return flags;
}

std::string KeyCombo::description() const {
    std::string text;
    if ((carbonModifiers & carbon::kControl) != 0) {
        text += "⌃";
    }
    if ((carbonModifiers & carbon::kOption) != 0) {
        text += "⌥";
    }
    if ((carbonModifiers & carbon::kShift) != 0) {
        text += "⇧";
    }
    if ((carbonModifiers & carbon::kCommand) != 0) {
        text += "⌘";
    }
    if (const auto pressed = key()) {
        text += displayText(*pressed);
    }
    return text;
}

}  // namespace kestrel
