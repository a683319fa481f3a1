#pragma once

#include <QDBusConnection>

#include <memory>

#include "app/update/UpdateChecker.h"

namespace kestrel {

// This build's version, the one update checks compare against.
std::string_view kestrelVersion();

// The application's update checker: the product's feed (or the one in the settings), fetched with
// Qt Network on `executor`.
std::shared_ptr<UpdateChecker> makeKestrelUpdater(Executor& executor,
                                                  std::shared_ptr<SettingsStore> settings);

// `kestrel --check-updates`: prints one JSON object (current, latest, updateAvailable, url) from
// the running instance's check, or from a check of its own when no instance runs. Returns 0, or 1
// after saying on stderr why the check failed.
int runCheckUpdatesCommand(QDBusConnection bus);

}  // namespace kestrel
