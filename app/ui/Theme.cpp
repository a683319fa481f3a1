#include "app/ui/Theme.h"

#include <QApplication>
#include <QPalette>
#include <QStringList>
#include <QStyleFactory>

#include <array>

namespace kestrel::ui {

namespace {

struct Rgb {
    double red;
    double green;
    double blue;
};

// sRGB, in the order of `Tone`.
constexpr std::array<Rgb, 7> kTones = {{
    {0.98, 0.98, 0.969},    // paper
    {0.953, 0.949, 0.925},  // paperShade
    {0.051, 0.051, 0.051},  // ink
    {0.165, 0.165, 0.157},  // inkSoft
    {0.416, 0.408, 0.392},  // muted
    {0.121, 0.604, 0.29},   // liveGreen
    {0.847, 0.204, 0.11},   // awayRed
}};

const QStringList kSerif = {QStringLiteral("DejaVu Serif"), QStringLiteral("Liberation Serif"),
                            QStringLiteral("serif")};
const QStringList kSans = {QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"),
                           QStringLiteral("sans-serif")};
const QStringList kMono = {QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Liberation Mono"),
                           QStringLiteral("monospace")};

QFont make(const QStringList& families, int pixels, double spacing = 0.0, bool italic = false,
           bool capitals = false) {
    QFont f;
    f.setFamilies(families);
    f.setPixelSize(pixels);
    f.setItalic(italic);
    if (spacing > 0.0) {
        f.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    }
    if (capitals) {
        f.setCapitalization(QFont::AllUppercase);
    }
    if (&families == &kMono) {
        f.setStyleHint(QFont::Monospace);
    } else if (&families == &kSerif) {
        f.setStyleHint(QFont::Serif);
    }
    return f;
}

}  // namespace

QColor color(Tone tone, double opacity) {
    const Rgb& rgb = kTones[static_cast<std::size_t>(tone)];
    return QColor::fromRgbF(static_cast<float>(rgb.red), static_cast<float>(rgb.green),
                            static_cast<float>(rgb.blue), static_cast<float>(opacity));
}

QString css(Tone tone, double opacity) {
    const QColor c = color(tone, opacity);
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(c.red())
        .arg(c.green())
        .arg(c.blue())
        .arg(c.alpha());
}

// Sizes in device-independent pixels, like every length of the popover.
QFont roleFont(TypeRole role) {
    switch (role) {
        case TypeRole::title:
            return make(kSerif, 38);
        case TypeRole::italicLine:
            return make(kSerif, 13, 0.0, true);
        case TypeRole::hint:
            return make(kSerif, 11, 0.0, true);
        case TypeRole::caption:
            return make(kMono, 9, 2.5, false, true);
        case TypeRole::headerCaption:
            return make(kMono, 10, 3.0);
        case TypeRole::badge:
            return make(kMono, 9, 2.0);
        case TypeRole::segment:
            return make(kMono, 11);
        case TypeRole::body:
            return make(kSans, 12);
        case TypeRole::button:
            return make(kSans, 11);
        case TypeRole::footer:
            return make(kMono, 10, 1.5);
    }
    return make(kSans, 12);
}

void applyTheme(QApplication& app) {
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette palette;
    palette.setColor(QPalette::Window, color(Tone::paper));
    palette.setColor(QPalette::Base, color(Tone::paperShade));
    palette.setColor(QPalette::AlternateBase, color(Tone::paperShade));
    palette.setColor(QPalette::Button, color(Tone::paperShade));
    palette.setColor(QPalette::WindowText, color(Tone::ink));
    palette.setColor(QPalette::Text, color(Tone::ink));
    palette.setColor(QPalette::ButtonText, color(Tone::ink));
    palette.setColor(QPalette::ToolTipBase, color(Tone::paper));
    palette.setColor(QPalette::ToolTipText, color(Tone::ink));
    palette.setColor(QPalette::PlaceholderText, color(Tone::muted));
    palette.setColor(QPalette::Highlight, color(Tone::ink));
    palette.setColor(QPalette::HighlightedText, color(Tone::paper));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, color(Tone::muted));
    palette.setColor(QPalette::Disabled, QPalette::Text, color(Tone::muted));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, color(Tone::muted));
    app.setPalette(palette);
    app.setFont(roleFont(TypeRole::body));
}

}  // namespace kestrel::ui
