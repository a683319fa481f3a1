#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QStringList>
#include <QWidget>

#include <functional>

#include "app/ui/Theme.h"

namespace kestrel::ui {

// A label in one of the type roles and one of the palette's tones.
QLabel* makeLabel(const QString& text, TypeRole role, Tone tone, QWidget* parent);
// The monospaced, spaced, upper-case caption in `muted`.
QLabel* makeCaption(const QString& text, QWidget* parent);

// A filled circle.
class StatusDot final : public QWidget {
  public:
    StatusDot(int diameter, QWidget* parent);
    void setTone(Tone tone);
    Tone tone() const { return tone_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Tone tone_ = Tone::liveGreen;
};

// Adjoining segments in a rounded outline; the selected one is filled with `ink`. Clicking the
// selected segment again reports nothing.
class SegmentedControl final : public QWidget {
  public:
    SegmentedControl(QStringList labels, QWidget* parent);
    void setSelected(int index);
    int selected() const { return selected_; }
    std::function<void(int)> onChosen;
    QRect segmentRect(int index) const;
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    QStringList labels_;
    int selected_ = 0;
};

// An on/off switch tinted `liveGreen` when on; checkable button without its own label.
class Switch final : public QAbstractButton {
  public:
    explicit Switch(QWidget* parent);
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// The record button: a rounded box with a dot and a label, in two fills.
class RecordButton final : public QAbstractButton {
  public:
    explicit RecordButton(QWidget* parent);
    void setLook(Tone fill, Tone dot, const QString& label, const QString& progress);
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Tone fill_ = Tone::ink;
    Tone dot_ = Tone::awayRed;
    QString progress_;
};

// `font` at `pixels` device-independent pixels, whichever unit it was given in.
QFont resized(QFont font, int pixels);

// A thin horizontal rule.
QWidget* makeDivider(QWidget* parent);

}  // namespace kestrel::ui
