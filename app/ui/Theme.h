#pragma once

#include <QColor>
#include <QFont>

class QApplication;

namespace kestrel::ui {

// The seven fixed colours every window draws with.
enum class Tone { paper, paperShade, ink, inkSoft, muted, liveGreen, awayRed };

QColor color(Tone tone, double opacity = 1.0);
// The same colour for a style sheet: "rgba(r, g, b, a)".
QString css(Tone tone, double opacity = 1.0);

// Type roles. Families fall back in order to what the desktop has.
enum class TypeRole {
    title,          // large serif status ("Live.")
    italicLine,     // italic serif lines
    hint,           // smaller italic serif hint
    caption,        // monospaced, upper case, spaced captions
    headerCaption,  // the header's wider caption
    badge,          // the hot-key badge
    segment,        // monospaced segment labels
    body,           // the loop pull-down's label
    button,         // record button label
    footer,         // spaced footer buttons
};

QFont roleFont(TypeRole role);

// Fusion with the fixed palette, so the look does not follow the desktop's Qt theme.
void applyTheme(QApplication& app);

}  // namespace kestrel::ui
