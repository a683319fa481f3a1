#pragma once

#include <QByteArray>

#include <string>
#include <variant>

namespace kestrel {

// One release in an appcast: an RSS item with Sparkle's version fields.
struct AppcastItem {
    std::string version;         // compared: sparkle:version, else sparkle:shortVersionString
    std::string displayVersion;  // shown: sparkle:shortVersionString, else `version`
    std::string notesUrl;        // sparkle:releaseNotesLink
    std::string downloadUrl;     // the item's link, else its enclosure's url
};

// The newest release of the appcast in `xml`, or a sentence saying why there is none: not XML,
// not RSS, no items, or an item whose version is missing or is not a version number (one bad
// item fails the feed, since it might be the newest). Items on a named channel (sparkle:channel,
// e.g. beta) are skipped. Links that are not http(s) are dropped.
std::variant<AppcastItem, std::string> newestAppcastItem(const QByteArray& xml);

}  // namespace kestrel
