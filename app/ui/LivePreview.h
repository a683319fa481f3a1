#pragma once

#include <QImage>
#include <QWidget>

#include <chrono>

#include "platform/runtime/Executor.h"
#include "platform/runtime/Handle.h"

namespace kestrel::ui {

class PreviewTap;

// What the meeting sees, small: the engine's output, downscaled at most five times a second, only
// while the widget is shown. Main thread.
class LivePreview final : public QWidget {
  public:
    static constexpr std::chrono::milliseconds kInterval{200};

    LivePreview(PreviewTap& tap, Executor& main, int width, QWidget* parent = nullptr);

    // Takes the newest frame, if any, and shows it.
    void refresh();
    const QImage& image() const { return image_; }

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    PreviewTap& tap_;
    Executor& main_;
    Handle timer_;
    QImage image_;
};

}  // namespace kestrel::ui
