#include <gtest/gtest.h>

#include <memory>

#include "app/state/AppState.h"
#include "app/state/SettingsStore.h"
#include "app/ui/SettingsModel.h"

namespace kestrel::ui {
namespace {

TEST(SettingsModelTest,
     PickersSelectOnlyOfferedValuesGreyOutWithTheirSwitchAndTheNoticeFollowsItsFlag) {
    AppState state{nullptr, std::make_shared<MemorySettingsStore>()};
    state.autoAwayEnabled = true;
    state.autoAwaySeconds = 30.0;
    state.realisticTransitions = true;
    state.transitionFreezeSeconds = 0.8;
    GeneralModel model = generalModel(state);
    EXPECT_EQ(model.thresholdIndex, 3);
    EXPECT_EQ(model.freezeIndex, 1);
    EXPECT_TRUE(model.thresholdEnabled);
    EXPECT_TRUE(model.transitionTuningEnabled);

    // Values the pickers do not offer select nothing; switching off keeps the values.
    state.autoAwaySeconds = 7.0;
    state.transitionFreezeSeconds = 0.3;
    state.autoAwayEnabled = false;
    state.realisticTransitions = false;
    model = generalModel(state);
    EXPECT_EQ(model.thresholdIndex, -1);
    EXPECT_EQ(model.freezeIndex, -1);
    EXPECT_FALSE(model.thresholdEnabled);
    EXPECT_FALSE(model.transitionTuningEnabled);
    EXPECT_EQ(state.autoAwaySeconds.get(), 7.0);

    state.transitionBlurRadius = 42.7;
    EXPECT_EQ(generalModel(state).blurText, QStringLiteral("42"));

    // The stale notice follows the flag and its dismissal; the reset line waits for a reset.
    EXPECT_FALSE(permissionsModel(state, PermissionStatus::granted, false).staleNoticeVisible);
    state.hasStaleSysext = true;
    EXPECT_TRUE(permissionsModel(state, PermissionStatus::granted, false).staleNoticeVisible);
    EXPECT_FALSE(permissionsModel(state, PermissionStatus::granted, true).staleNoticeVisible);

    EXPECT_FALSE(permissionsModel(state, PermissionStatus::denied, false).cameraGranted);
    EXPECT_FALSE(permissionsModel(state, PermissionStatus::granted, false).lastResetLine);
    state.lastResetAt = WallClock::TimePoint(std::chrono::hours(24 * 365 * 50));
    const auto line = permissionsModel(state, PermissionStatus::granted, false).lastResetLine;
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->startsWith(QStringLiteral("Last reset: ")));
    EXPECT_TRUE(line->contains(QLatin1Char(':'), Qt::CaseSensitive) &&
                line->count(QLatin1Char(':')) >= 3)
        << line->toStdString();  // hours, minutes and seconds after the label
}

TEST(SettingsModelTest, RenameSavesOnlyANewNonBlankName) {
    const struct {
        const char* draft;
        std::optional<QString> target;
    } cases[] = {
        {"   ", std::nullopt},
        {"\n\t", std::nullopt},
        {"standup", std::nullopt},
        {"  standup \n", std::nullopt},
        {" Monday standup\n", QStringLiteral("Monday standup")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(renameTarget(QString::fromUtf8(c.draft), QStringLiteral("standup")), c.target)
            << c.draft;
    }
}

}  // namespace
}  // namespace kestrel::ui
