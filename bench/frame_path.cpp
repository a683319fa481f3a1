// Per-frame main-thread cost of the engine's three paths and the one-off blur at a swap, each
// also printed as a ratio to a plain copy of one 1280x720 BGRA frame measured in the same run.
//
// Goals on a two-core build machine: live frame < 0.01 copies, away frame <= 5 copies, freeze
// frame <= 5 copies, blur and tone at a swap <= 15 copies.

#include <benchmark/benchmark.h>

#include "bench/CollectingReporter.h"

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/engine/CameraEngine.h"
#include "app/engine/StandIns.h"
#include "platform/media/ImageOps.h"
#include "platform/runtime/Log.h"
#include "platform/runtime/ManualExecutor.h"

namespace kestrel {
namespace {

class DiscardLogSink final : public LogSink {
  public:
    void write(const LogRecord& /*record*/) override {}
};

// A loop that always has its next frame ready, as a decoder running ahead would: 1920x1080 until
// the engine asks for another size, and that size afterwards unless `fixedSize`. The frames rotate
// through more memory than the caches hold, as fresh decoder output does.
class ReadyLoop final : public LoopSource {
  public:
    explicit ReadyLoop(bool fixedSize) : fixedSize_(fixedSize) { makeFrames(1920, 1080); }
    void setUrl(const std::filesystem::path& /*url*/) override {}
    MaybeError openReader(const std::filesystem::path& /*url*/) override { return std::nullopt; }
    PixelBufferRef nextFrame() override { return frames_[next_++ % frames_.size()]; }
    void setOutputSize(int width, int height) override {
        if (!fixedSize_) {
            makeFrames(width, height);
        }
    }

  private:
    void makeFrames(int width, int height) {
        frames_.clear();
        for (int i = 0; i < kRotation; ++i) {
            frames_.push_back(PixelBuffer::create(width, height));
            frames_.back()->fill(40, 90, static_cast<std::uint8_t>(160 + i));
        }
    }
    static constexpr int kRotation = 8;
    const bool fixedSize_;
    std::vector<PixelBufferRef> frames_;
    std::size_t next_ = 0;
};

struct Rig {
    explicit Rig(AppState::Mode mode, bool transitions, bool fixedLoopSize = false) {
        state.realisticTransitions = transitions;
        state.transitionFreezeSeconds = 3.0;
        EngineParts parts;
        parts.recorder = std::make_shared<NoRecorder>();
        parts.loop = std::make_unique<ReadyLoop>(fixedLoopSize);
        parts.detector = std::make_unique<NoDetector>();
        parts.bridge = std::make_unique<LocalOnlyBridge>();
        engine =
            CameraEngine::create(state, std::move(parts), main, main.hostClock(), main.wallClock());
        engine->bridge().sink().connect();
        state.mode = mode;
        camera->fill(120, 120, 120);
    }
    ManualExecutor main;
    AppState state{nullptr, std::make_shared<MemorySettingsStore>()};
    std::shared_ptr<CameraEngine> engine;
    PixelBufferRef camera = PixelBuffer::create(1280, 720);
};

// The reference: one 1280x720 frame copied from memory, not from cache (the buffers rotate
// through 60 MB), as a frame that just arrived from the camera or the decoder is.
void BM_Copy1280x720(benchmark::State& st) {
    constexpr int kRotation = 8;
    std::vector<PixelBufferRef> sources;
    std::vector<PixelBufferRef> dests;
    for (int i = 0; i < kRotation; ++i) {
        sources.push_back(PixelBuffer::create(1280, 720));
        sources.back()->fill(1, 2, static_cast<std::uint8_t>(i));
        dests.push_back(PixelBuffer::create(1280, 720));
    }
    std::size_t i = 0;
    for (auto _ : st) {
        image::copy(*sources[i % kRotation], *dests[i % kRotation]);
        benchmark::DoNotOptimize(dests[i % kRotation]->data());
        benchmark::ClobberMemory();
        ++i;
    }
}

// The same copy with both frames in cache, for comparison with other machines' figures.
void BM_Copy1280x720Cached(benchmark::State& st) {
    auto source = PixelBuffer::create(1280, 720);
    auto dest = PixelBuffer::create(1280, 720);
    source->fill(1, 2, 3);
    for (auto _ : st) {
        image::copy(*source, *dest);
        benchmark::DoNotOptimize(dest->data());
        benchmark::ClobberMemory();
    }
}

void BM_LiveFrame(benchmark::State& st) {
    Rig rig(AppState::Mode::live, true);
    for (auto _ : st) {
        rig.engine->dispatch(rig.camera);
    }
}

// The loop decodes at the camera's size once the engine has asked for it (the first frame).
void BM_AwayFrame(benchmark::State& st) {
    Rig rig(AppState::Mode::away, false);
    rig.engine->dispatch(rig.camera);
    for (auto _ : st) {
        rig.engine->dispatch(rig.camera);
    }
}

// A loop source that cannot change its size: every 1920x1080 frame is scaled on the main thread.
void BM_AwayFrameScaled(benchmark::State& st) {
    Rig rig(AppState::Mode::away, false, true);
    for (auto _ : st) {
        rig.engine->dispatch(rig.camera);
    }
}

void BM_FreezeFrame(benchmark::State& st) {
    Rig rig(AppState::Mode::live, true);
    rig.state.mode = AppState::Mode::away;
    rig.engine->dispatch(rig.camera);  // the swap; virtual time stands still, so it stays frozen
    for (auto _ : st) {
        rig.engine->dispatch(rig.camera);
    }
}

void BM_SwapBlurAndTone(benchmark::State& st) {
    auto source = PixelBuffer::create(1280, 720);
    auto dest = PixelBuffer::create(1280, 720);
    for (int y = 0; y < 720; ++y) {
        for (int x = 0; x < 1280 * 4; ++x) {
            source->row(y)[x] = static_cast<std::uint8_t>((x * 7 + y * 13) & 0xFF);
        }
    }
    for (auto _ : st) {
        CameraEngine::blurInto(*source, *dest, 18.0);
        benchmark::DoNotOptimize(dest->data());
    }
}

BENCHMARK(BM_Copy1280x720);
BENCHMARK(BM_Copy1280x720Cached);
BENCHMARK(BM_LiveFrame);
BENCHMARK(BM_AwayFrame);
BENCHMARK(BM_AwayFrameScaled);
BENCHMARK(BM_FreezeFrame);
BENCHMARK(BM_SwapBlurAndTone);

}  // namespace
}  // namespace kestrel

int main(int argc, char** argv) {
    kestrel::Log::setSink(std::make_shared<kestrel::DiscardLogSink>());
    benchmark::Initialize(&argc, argv);
    kestrel::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (const auto cached = reporter.nanos.find("BM_Copy1280x720Cached");
        cached != reporter.nanos.end()) {
        std::printf("\none 1280x720 copy from cache: %.3f ms\n", cached->second / 1e6);
    }
    kestrel::printGoalRatios(
        reporter, "BM_Copy1280x720", "ratio to one 1280x720 copy from memory",
        {{"BM_LiveFrame", "live frame", 0.01},
         {"BM_AwayFrame", "away frame (loop decoded at camera size)", 5},
         {"BM_AwayFrameScaled", "away frame (1920x1080 loop into 1280x720)", 5},
         {"BM_FreezeFrame", "freeze frame", 5},
         {"BM_SwapBlurAndTone", "blur and tone at a swap (radius 18)", 15}});
    return 0;
}
