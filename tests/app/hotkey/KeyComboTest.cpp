#include <set>
#include <string>

#include <gtest/gtest.h>

#include "app/hotkey/KeyCombo.h"

namespace kestrel {
namespace {

TEST(KeyTable, EveryKeyHasItsOwnCodeNameAndDisplayAndRoundTrips) {
    std::set<std::uint32_t> codes;
    std::set<std::string> names;
    for (std::size_t index = 0; index < kKeyCount; ++index) {
        const auto key = static_cast<Key>(index);
        EXPECT_TRUE(codes.insert(carbonKeyCode(key)).second) << keyName(key);
        EXPECT_TRUE(names.insert(std::string(keyName(key))).second) << keyName(key);
        EXPECT_FALSE(displayText(key).empty()) << keyName(key);
        EXPECT_EQ(keyFromCarbonKeyCode(carbonKeyCode(key)), key) << keyName(key);
        // The lower-cased case name always parses back to the key.
        std::string lower(keyName(key));
        for (char& character : lower) {
            character = static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
        }
        EXPECT_EQ(parseKey(lower), key) << lower;
    }
    EXPECT_EQ(codes.size(), 114U);
}

TEST(KeyTable, ParsesNamesCharactersSymbolsAndAliases) {
    const std::pair<const char*, Key> expected[] = {
        {"A", Key::a},
        {"a", Key::a},
        {"pageup", Key::pageUp},
        {"PageUp", Key::pageUp},
        {"⇞", Key::pageUp},
        {"one", Key::one},
        {"1", Key::one},
        {".", Key::period},
        {"\"", Key::quote},
        {"forwarddelete", Key::forwardDelete},
        {"keypadenter", Key::keypadEnter},
        {"rightcommand", Key::rightCommand},
        {"leftbracket", Key::leftBracket},
        {"f17", Key::f17},
        {"⌘", Key::command},
        {"\uF8FF", Key::command},
        {"⏎", Key::return_},
        {"⮐", Key::return_},
        {"\r", Key::return_},
        {"↩︎", Key::return_},
        {"\t", Key::tab},
        {" ", Key::space},
        {"ˋ", Key::grave},
        {"｀", Key::grave},
        {"fn", Key::function},
        {"⌧", Key::keypadClear},
        {"§", Key::section},
        {"⎋", Key::escape},
    };
    for (const auto& [text, key] : expected) {
        EXPECT_EQ(parseKey(text), key) << text;
    }
    for (const char* unknown : {"", "bogus", "keypad", "f21", "aa", "+"}) {
        EXPECT_EQ(parseKey(unknown), std::nullopt) << unknown;
    }
}

TEST(KeyCombo, ModifierConversionMapsTheFourFlagsAndDropsTheRest) {
    EXPECT_EQ(carbonModifiersFrom(modifier::kOption | modifier::kControl), 0x1800U);
    EXPECT_EQ(carbonModifiersFrom(0x10000 | 0x800000 | 0xFF), 0U) << "caps lock, fn, low bits";
    const std::uint64_t all =
        modifier::kCommand | modifier::kOption | modifier::kControl | modifier::kShift;
    EXPECT_EQ(carbonModifiersFrom(all), 0x1B00U);
    EXPECT_EQ(modifierFlagsFrom(0x1B00), all);
    EXPECT_EQ(modifierFlagsFrom(0x400 | 0x1), 0U);
}

TEST(KeyCombo, DescriptionOrdersModifiersControlOptionShiftCommand) {
    EXPECT_EQ(KeyCombo(0, 0x300).description(), "⇧⌘A");
    EXPECT_EQ(KeyCombo(Key::pageUp, modifier::kCommand | modifier::kOption | modifier::kControl |
                                        modifier::kShift)
                  .description(),
              "⌃⌥⇧⌘⇞");
    EXPECT_EQ(KeyCombo(Key::f1, modifier::kControl).description(), "⌃\uF860F1");
    EXPECT_EQ(KeyCombo(Key::f12, 0).description(), "\uF861F12");
    EXPECT_EQ(KeyCombo(Key::keypadDivide, 0).description(), "/");
    EXPECT_EQ(KeyCombo(Key::quote, modifier::kOption).description(), "⌥\"");
    EXPECT_EQ(KeyCombo(66, 0x100).description(), "⌘") << "an unknown code shows no key";
}

}  // namespace
}  // namespace kestrel
