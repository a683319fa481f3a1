#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace kestrel {

// A persistent key-value store of Booleans, numbers and text. Readers get back what was stored,
// typed as well as the store can tell; absent keys give nothing.
class SettingsStore {
  public:
    using Value = std::variant<bool, double, std::string>;

    virtual ~SettingsStore() = default;
    virtual std::optional<Value> value(std::string_view key) const = 0;
    virtual void setBool(std::string_view key, bool value) = 0;
    virtual void setDouble(std::string_view key, double value) = 0;
};

// Lives in memory only: tests, and runs that must not touch the user's settings.
class MemorySettingsStore final : public SettingsStore {
  public:
    std::optional<Value> value(std::string_view key) const override {
        auto found = values_.find(std::string(key));
        if (found == values_.end()) {
            return std::nullopt;
        }
        return found->second;
    }
    void setBool(std::string_view key, bool value) override { values_[std::string(key)] = value; }
    void setDouble(std::string_view key, double value) override {
        values_[std::string(key)] = value;
    }
    // Stores any value as is, e.g. text where a number belongs.
    void setRaw(std::string_view key, Value value) { values_[std::string(key)] = std::move(value); }

  private:
    std::map<std::string, Value> values_;
};

// How stored values read as the two types the settings use: a missing or unreadable number reads
// as 0, a missing Boolean as false. Text is read as the store's typing would have it ("true",
// "1.5").
bool settingAsBool(const std::optional<SettingsStore::Value>& value);
double settingAsDouble(const std::optional<SettingsStore::Value>& value);

}  // namespace kestrel
