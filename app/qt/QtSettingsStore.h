#pragma once

#include <QSettings>
#include <QString>

#include <memory>

#include "app/state/SettingsStore.h"
#include "platform/runtime/Log.h"

namespace kestrel {

// The settings file, `~/.config/corvid/kestrel.conf` by default (INI). A file that cannot be read,
// is not text or does not parse loads as empty, so every setting takes its default; it is left
// alone until a setting is written, and then moved aside to `kestrel.conf.unreadable` (or the next
// free `.unreadable.N`) rather than overwritten, so nothing the user had is lost.
class QtSettingsStore final : public SettingsStore {
  public:
    explicit QtSettingsStore(QString path = defaultPath());

    std::optional<Value> value(std::string_view key) const override;
    void setBool(std::string_view key, bool value) override;
    void setDouble(std::string_view key, double value) override;

    bool unreadable() const { return unreadable_; }
    const QString& path() const { return path_; }
    static QString defaultPath();

  private:
    void prepareForWrite();
    void write(std::string_view key, const QVariant& value);

    QString path_;
    std::unique_ptr<QSettings> settings_;  // none while the file is unreadable
    bool unreadable_ = false;
    Log log_{std::string(kAppLogSubsystem), "Settings"};
};

}  // namespace kestrel
