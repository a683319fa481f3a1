#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "app/qt/QtSettingsStore.h"
#include "app/state/AppState.h"

namespace kestrel {
namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

void writeAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

TEST(QtSettingsStore, RoundTripsBooleansAndNumbersThroughTheFileButTextIsNotABoolean) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("corvid/kestrel.conf"));
    {
        auto store = std::make_shared<QtSettingsStore>(path);
        AppState state(nullptr, store);
        state.transitionFreezeSeconds = 1.5;
        state.realisticTransitions = false;
        state.hasSeenOnboarding = true;
    }
    EXPECT_TRUE(readAll(path).contains("kestrel.transitionFreezeSeconds=1.5"));
    AppState relaunched(nullptr, std::make_shared<QtSettingsStore>(path));
    EXPECT_EQ(relaunched.transitionFreezeSeconds.get(), 1.5);
    EXPECT_FALSE(relaunched.realisticTransitions.get());
    EXPECT_TRUE(relaunched.hasSeenOnboarding.get());

    // Text under a boolean key is not a boolean.
    writeAll(path, "[General]\nkestrel.realisticTransitions=maybe\nkestrel.autoAwaySeconds=30\n");
    QtSettingsStore store(path);
    EXPECT_EQ(store.value("kestrel.realisticTransitions"),
              SettingsStore::Value(std::string("maybe")));
    EXPECT_EQ(store.value("kestrel.autoAwaySeconds"), SettingsStore::Value(30.0));
    EXPECT_FALSE(store.value("kestrel.hasSeenOnboarding"));
    AppState state(nullptr, std::make_shared<QtSettingsStore>(path));
    EXPECT_TRUE(state.realisticTransitions.get());
    EXPECT_EQ(state.autoAwaySeconds.get(), 30.0);
}

TEST(QtSettingsStore, GarbageLoadsDefaultsAndIsMovedAsideWholeOnTheFirstWrite) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("kestrel.conf"));
    QByteArray garbage("kestrel.autoAwaySeconds=30\n");
    for (int i = 0; i < 4096; ++i) {
        garbage.append(static_cast<char>((i * 7919) % 256));
    }
    writeAll(path, garbage);
    {
        auto store = std::make_shared<QtSettingsStore>(path);
        EXPECT_TRUE(store->unreadable());
        AppState state(nullptr, store);
        EXPECT_EQ(state.autoAwaySeconds.get(), 5.0);
        EXPECT_EQ(state.transitionBlurRadius.get(), 18.0);
        EXPECT_TRUE(state.realisticTransitions.get());
    }
    EXPECT_EQ(readAll(path), garbage);  // loading alone never touches it

    writeAll(path + QStringLiteral(".unreadable"), "an older one");
    {
        AppState state(nullptr, std::make_shared<QtSettingsStore>(path));
        state.autoAwaySeconds = 10.0;
    }
    EXPECT_EQ(readAll(path + QStringLiteral(".unreadable.1")), garbage);
    EXPECT_EQ(readAll(path + QStringLiteral(".unreadable")), "an older one");
    AppState relaunched(nullptr, std::make_shared<QtSettingsStore>(path));
    EXPECT_EQ(relaunched.autoAwaySeconds.get(), 10.0);
}

TEST(QtSettingsStore, ADirectoryInThePlaceOfTheFileIsUnreadableToo) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("kestrel.conf"));
    ASSERT_TRUE(QDir().mkpath(path + QStringLiteral("/inside")));
    auto store = std::make_shared<QtSettingsStore>(path);
    EXPECT_TRUE(store->unreadable());
    store->setBool("kestrel.autoAwayEnabled", true);
    EXPECT_TRUE(QFileInfo(path + QStringLiteral(".unreadable/inside")).isDir());
    EXPECT_EQ(QtSettingsStore(path).value("kestrel.autoAwayEnabled"), SettingsStore::Value(true));
}

}  // namespace
}  // namespace kestrel
