#include "app/update/Appcast.h"

#include <QUrl>
#include <QXmlStreamReader>

#include <optional>
#include <vector>

#include "app/update/Version.h"

namespace kestrel {

namespace {

const QString kSparkleNamespace =
    QStringLiteral("http://www.andymatuschak.org/xml-namespaces/sparkle");

struct RawItem {
    QString version;
    QString shortVersion;
    QString enclosureVersion;
    QString enclosureShortVersion;
    QString notes;
    QString link;
    QString enclosureUrl;
    bool otherChannel = false;
};

std::string webLink(const QString& text) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const bool web =
        url.isValid() && !url.host().isEmpty() &&
        (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"));
    return web ? url.toString(QUrl::FullyEncoded).toStdString() : std::string();
}

std::string firstOf(const QString& a, const QString& b) {
    return (a.isEmpty() ? b : a).trimmed().toStdString();
}

// Reads one <item>; the reader stands on its start element.
RawItem readItem(QXmlStreamReader& xml) {
    RawItem item;
    while (xml.readNextStartElement()) {
        const bool sparkle = xml.namespaceUri() == kSparkleNamespace;
        const auto name = xml.name();
        if (name == QLatin1String("enclosure") && xml.namespaceUri().isEmpty()) {
            const auto attributes = xml.attributes();
            item.enclosureUrl = attributes.value(QStringLiteral("url")).toString();
            item.enclosureVersion =
                attributes.value(kSparkleNamespace, QStringLiteral("version")).toString();
            item.enclosureShortVersion =
                attributes.value(kSparkleNamespace, QStringLiteral("shortVersionString"))
                    .toString();
            xml.skipCurrentElement();
        } else if (sparkle && name == QLatin1String("version")) {
            item.version = xml.readElementText();
        } else if (sparkle && name == QLatin1String("shortVersionString")) {
            item.shortVersion = xml.readElementText();
        } else if (sparkle && name == QLatin1String("releaseNotesLink")) {
            item.notes = xml.readElementText();
        } else if (sparkle && name == QLatin1String("channel")) {
            item.otherChannel = !xml.readElementText().trimmed().isEmpty();
        } else if (name == QLatin1String("link") && xml.namespaceUri().isEmpty()) {
            item.link = xml.readElementText();
        } else {
            xml.skipCurrentElement();
        }
    }
    return item;
}

std::variant<AppcastItem, std::string> toAppcastItem(const RawItem& raw) {
    AppcastItem item;
    item.version = firstOf(raw.version, raw.enclosureVersion);
    const std::string shortVersion = firstOf(raw.shortVersion, raw.enclosureShortVersion);
    if (item.version.empty()) {
        item.version = shortVersion;
    }
    if (item.version.empty()) {
        return std::string("an item of the update feed has no version");
    }
    if (!isVersionString(item.version)) {
        return "the update feed lists \"" + item.version + "\", which is not a version number";
    }
    item.displayVersion = shortVersion.empty() ? item.version : shortVersion;
    item.notesUrl = webLink(raw.notes);
    item.downloadUrl = webLink(raw.link);
    if (item.downloadUrl.empty()) {
        item.downloadUrl = webLink(raw.enclosureUrl);
    }
    return item;
}

}  // namespace

std::variant<AppcastItem, std::string> newestAppcastItem(const QByteArray& bytes) {
    QXmlStreamReader xml(bytes);
    if (!xml.readNextStartElement()) {
        return "the update feed is not XML: " + xml.errorString().toStdString();
    }
    if (xml.name() != QLatin1String("rss")) {
        return "the update feed is not an appcast (its root element is <" +
               xml.name().toString().toStdString() + ">)";
    }
    std::vector<RawItem> items;
    // Items live in rss/channel; walk every element and pick them out wherever they are.
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QLatin1String("item") &&
            xml.namespaceUri().isEmpty()) {
            items.push_back(readItem(xml));
        }
    }
    if (xml.hasError()) {
        return "the update feed is not valid XML: " + xml.errorString().toStdString() + " (line " +
               std::to_string(xml.lineNumber()) + ")";
    }
    std::optional<AppcastItem> newest;
    for (const auto& raw : items) {
        if (raw.otherChannel) {
            continue;
        }
        auto item = toAppcastItem(raw);
        if (auto* error = std::get_if<std::string>(&item)) {
            return *error;
        }
        auto& parsed = std::get<AppcastItem>(item);
        if (!newest || compareVersions(parsed.version, newest->version) > 0) {
            newest = std::move(parsed);
        }
    }
    if (!newest) {
        return std::string("the update feed lists no versions");
    }
    return *newest;
}

}  // namespace kestrel
