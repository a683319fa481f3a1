#include "app/qt/QtSettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>

namespace kestrel {

namespace {

QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// INI files keep every value as text; Booleans and numbers are recognised by their spelling.
SettingsStore::Value typedValue(const QVariant& stored) {
    const QString text = stored.toString();
    if (text == QLatin1String("true")) {
        return true;
    }
    if (text == QLatin1String("false")) {
        return false;
    }
    bool isNumber = false;
    const double number = text.toDouble(&isNumber);
    if (isNumber) {
        return number;
    }
    return text.toStdString();
}

}  // namespace

QString QtSettingsStore::defaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/corvid/kestrel.conf");
}

namespace {

// A settings file is text. One that cannot be opened, is not a regular file, or holds bytes that
// are not UTF-8 text was not written by us, and parsing it would keep only fragments.
bool looksUnreadable(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) {
        return false;
    }
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
        return true;
    }
    const QByteArray bytes = file.readAll();
    if (bytes.contains('\0')) {
        return true;
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    [[maybe_unused]] const QString text = utf8.decode(bytes);
    return utf8.hasError();
}

}  // namespace

QtSettingsStore::QtSettingsStore(QString path)
    : path_(std::move(path)), unreadable_(looksUnreadable(path_)) {
    if (!unreadable_) {
        settings_ = std::make_unique<QSettings>(path_, QSettings::IniFormat);
        unreadable_ = settings_->status() != QSettings::NoError;
    }
    if (unreadable_) {
        log_.error("settings file %{public}@ is unreadable; using defaults until a setting changes",
                   path_.toStdString());
        settings_.reset();
    }
}

std::optional<SettingsStore::Value> QtSettingsStore::value(std::string_view key) const {
    if (!settings_) {
        return std::nullopt;
    }
    const QVariant stored = settings_->value(toQString(key));
    if (!stored.isValid()) {
        return std::nullopt;
    }
    return typedValue(stored);
}

void QtSettingsStore::prepareForWrite() {
    if (!unreadable_) {
        return;
    }
    unreadable_ = false;
    // Keep what was there: the first free name of kestrel.conf.unreadable, .unreadable.1, ...
    QString aside = path_ + QStringLiteral(".unreadable");
    for (int n = 1; QFileInfo::exists(aside); ++n) {
        aside = path_ + QStringLiteral(".unreadable.") + QString::number(n);
    }
    if (!QDir().rename(path_, aside)) {
        log_.error("could not move unreadable settings file %{public}@ aside; not writing it",
                   path_.toStdString());
        unreadable_ = true;
        return;
    }
    log_.info("moved unreadable settings file to %{public}@", aside.toStdString());
    settings_ = std::make_unique<QSettings>(path_, QSettings::IniFormat);
}

void QtSettingsStore::write(std::string_view key, const QVariant& value) {
    prepareForWrite();
    if (unreadable_) {
        return;  // could not be moved aside: better unsaved than lost
    }
    QDir().mkpath(QFileInfo(path_).absolutePath());
    settings_->setValue(toQString(key), value);
    settings_->sync();
    if (settings_->status() != QSettings::NoError) {
        log_.error("could not write settings file %{public}@", path_.toStdString());
    }
}

void QtSettingsStore::setBool(std::string_view key, bool value) {
    write(key, QVariant(value));
}

void QtSettingsStore::setDouble(std::string_view key, double value) {
    write(key, QVariant(value));
}

}  // namespace kestrel
