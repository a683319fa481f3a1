#pragma once

#include <memory>

#include "app/engine/FramePorts.h"

namespace kestrel::ui {

// Sits between the engine and the camera link and keeps the latest output frame while a preview
// watches; otherwise it only forwards (one flag test per frame). Main thread, like the engine.
class PreviewTap final : public CameraBridge, public FrameSink {
  public:
    explicit PreviewTap(std::unique_ptr<CameraBridge> inner) : inner_(std::move(inner)) {}

    void activate() override { inner_->activate(); }
    void reconnect() override { inner_->reconnect(); }
    void probeExtensionHealth() override { inner_->probeExtensionHealth(); }
    FrameSink& sink() override { return *this; }

    bool connected() const override { return inner_->sink().connected(); }
    void connect() override { inner_->sink().connect(); }
    void enqueue(const PixelBufferRef& frame) override {
        if (watching_) {
            latest_ = frame;
        }
        inner_->sink().enqueue(frame);
    }

    // While off, no frame is kept.
    void setWatching(bool on) {
        watching_ = on;
        if (!on) {
            latest_.reset();
        }
    }
    // The newest frame since the last call, or nullptr.
    PixelBufferRef takeLatest() { return std::move(latest_); }

  private:
    std::unique_ptr<CameraBridge> inner_;
    bool watching_ = false;
    PixelBufferRef latest_;
};

}  // namespace kestrel::ui
