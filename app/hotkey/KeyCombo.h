#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

// The keys a hot key can use, each carrying its macOS virtual key code (the HIToolbox kVK_
// values) as data: key combinations are stored and exchanged in that encoding on every platform.
enum class Key : std::uint8_t {
    a,
    b,
    c,
    d,
    e,
    f,
    g,
    h,
    i,
    j,
    k,
    l,
    m,
    n,
    o,
    p,
    q,
    r,
    s,
    t,
    u,
    v,
    w,
    x,
    y,
    z,
    zero,
    one,
    two,
    three,
    four,
    five,
    six,
    seven,
    eight,
    nine,
    period,
    quote,
    rightBracket,
    semicolon,
    slash,
    backslash,
    comma,
    equal,
    grave,
    leftBracket,
    minus,
    section,
    space,
    tab,
    return_,
    command,
    rightCommand,
    option,
    rightOption,
    control,
    rightControl,
    shift,
    rightShift,
    function,
    capsLock,
    pageUp,
    pageDown,
    home,
    end,
    upArrow,
    rightArrow,
    downArrow,
    leftArrow,
    f1,
    f2,
    f3,
    f4,
    f5,
    f6,
    f7,
    f8,
    f9,
    f10,
    f11,
    f12,
    f13,
    f14,
    f15,
    f16,
    f17,
    f18,
    f19,
    f20,
    keypad0,
    keypad1,
    keypad2,
    keypad3,
    keypad4,
    keypad5,
    keypad6,
    keypad7,
    keypad8,
    keypad9,
    keypadClear,
    keypadDecimal,
    keypadDivide,
    keypadEnter,
    keypadEquals,
    keypadMinus,
    keypadMultiply,
    keypadPlus,
    escape,
    delete_,
    forwardDelete,
    help,
    volumeUp,
    volumeDown,
    mute,
};

inline constexpr std::size_t kKeyCount = 114;

// The key's case name ("pageUp", "return", "delete").
std::string_view keyName(Key key);
std::uint32_t carbonKeyCode(Key key);
// None for a code that no key carries.
std::optional<Key> keyFromCarbonKeyCode(std::uint32_t code);
// What the user sees: "A", "1", "⇞", "⌘", "F1" (behind a private-use marker), UTF-8.
std::string_view displayText(Key key);
// Reads a key from its name, its character or its symbol, ignoring ASCII case; none when no key
// has that spelling.
std::optional<Key> parseKey(std::string_view text);

// Modifier masks in the hot-key encoding ...
namespace carbon {
inline constexpr std::uint32_t kCommand = 0x100;
inline constexpr std::uint32_t kShift = 0x200;
inline constexpr std::uint32_t kOption = 0x800;
inline constexpr std::uint32_t kControl = 0x1000;
}  // namespace carbon

// ... and in the application's keyboard-event encoding.
namespace modifier {
inline constexpr std::uint64_t kShift = 0x20000;
inline constexpr std::uint64_t kControl = 0x40000;
inline constexpr std::uint64_t kOption = 0x80000;
inline constexpr std::uint64_t kCommand = 0x100000;
}  // namespace modifier

// Each of the four modifiers maps to its counterpart; every other bit is dropped.
std::uint32_t carbonModifiersFrom(std::uint64_t modifierFlags);
std::uint64_t modifierFlagsFrom(std::uint32_t carbonModifiers);

// A key code and modifier mask in the hot-key encoding. Cmd+Shift+A is code 0, mask 0x300.
struct KeyCombo {
    std::uint32_t carbonKeyCode = 0;
    std::uint32_t carbonModifiers = 0;

    KeyCombo() = default;
    KeyCombo(std::uint32_t keyCode, std::uint32_t modifiers)
        : carbonKeyCode(keyCode), carbonModifiers(modifiers) {}
    // From a key and application-side modifier flags.
    KeyCombo(Key key, std::uint64_t modifierFlags)
        : carbonKeyCode(kestrel::carbonKeyCode(key)),
          carbonModifiers(carbonModifiersFrom(modifierFlags)) {}

    std::optional<Key> key() const { return keyFromCarbonKeyCode(carbonKeyCode); }
    // The modifier symbols in the order control, option, shift, command, then the key's text
    // when the code belongs to a key: "⇧⌘A".
    std::string description() const;

    friend bool operator==(const KeyCombo&, const KeyCombo&) = default;
};

}  // namespace kestrel
