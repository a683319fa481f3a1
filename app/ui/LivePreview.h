#pragma once

#include <QImage>
#include <QTimer>
#include <QWidget>

namespace kestrel::ui {

class PreviewTap;

// What the meeting sees, small: the engine's output, downscaled at most five times a second, only
// while the widget is shown. Main thread.
class LivePreview final : public QWidget {
  public:
    static constexpr int kIntervalMs = 200;

    LivePreview(PreviewTap& tap, int width, QWidget* parent = nullptr);

    // Takes the newest frame, if any, and shows it.
    void refresh();
    const QImage& image() const { return image_; }

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    PreviewTap& tap_;
    QTimer timer_;
    QImage image_;
};

}  // namespace kestrel::ui
