// Loop movies: the loop player's cost per frame on a 1920x1080 clip, as a ratio to the FFmpeg
// command line decoding the same clip with the same thread count (`ffmpeg -threads 1 -i CLIP -f
// null -`, run from this process); and the recorder encoding camera frames at 15 per second in
// real time: frames dropped and main-thread cost per append, encoding on the recorder's own
// lowered thread and, for comparison, on a thread of normal priority.
//
// Goals on a two-core build machine: player <= 1.5x the FFmpeg decode (it also converts to BGRA)
// with next to nothing on the main thread; recorder: no frame dropped, under 1 ms of main-thread
// CPU per append, under 1 ms of wall time on average and 4 ms at worst. Wall time includes the
// time the main thread waited for a core: on a machine loaded by others it measures them too.
//
// KESTREL_BENCH_RECORD_SECONDS sets the recording length (default 60).

#include <benchmark/benchmark.h>
#include <libyuv/planar_functions.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <variant>

#include "app/sources/LoopLibrary.h"
#include "app/sources/LoopPlayer.h"
#include "app/sources/LoopRecorder.h"
#include "app/sources/MovieWriter.h"
#include "app/sources/TestPatternBackend.h"
#include "platform/runtime/Log.h"
#include "platform/runtime/ManualExecutor.h"
#include "platform/runtime/WorkerThread.h"

namespace kestrel {
namespace {

constexpr int kClipFrames = 150;  // 10 s at 15 frames a second
constexpr int kCameraWidth = 1280;
constexpr int kCameraHeight = 720;

std::filesystem::path benchFolder() {
    static const std::filesystem::path folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-bench-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        return std::filesystem::path(pattern);
    }();
    return folder;
}

// Camera-like frames: moving bars with a frame counter, plus sensor-like noise that moves too,
// so the encoder and decoder do real work.
class CameraFrames {
  public:
    CameraFrames() : noise_(PixelBuffer::create(kCameraWidth, kCameraHeight * 2)) {
        std::mt19937 random(7);
        for (int y = 0; y < noise_->height(); ++y) {
            for (int x = 0; x < noise_->width() * 4; ++x) {
                noise_->row(y)[x] = static_cast<std::uint8_t>(random() % 8);
            }
        }
    }
    PixelBufferRef frame(int index) {
        auto frame = PixelBuffer::create(kCameraWidth, kCameraHeight);
        TestPatternBackend::drawFrame(*frame, static_cast<std::uint64_t>(index),
                                      std::chrono::system_clock::time_point{});
        const int shift = (index * 37) % kCameraHeight;
        libyuv::ARGBAdd(frame->data(), frame->stride(), noise_->row(shift), noise_->stride(),
                        frame->data(), frame->stride(), kCameraWidth, kCameraHeight);
        return frame;
    }

  private:
    PixelBufferRef noise_;
};

const std::filesystem::path& clip() {
    static const std::filesystem::path path = [] {
        const auto file = benchFolder() / "clip.mov";
        auto created = MovieWriter::create(file);
        auto& writer = *std::get<std::unique_ptr<MovieWriter>>(created);
        CameraFrames frames;
        for (int i = 0; i < kClipFrames; ++i) {
            (void)writer.append(*frames.frame(i), i * (MovieWriter::kTimescale / 15));
        }
        (void)writer.finish();
        return file;
    }();
    return path;
}

double childCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds per frame of `ffmpeg -threads 1 -i CLIP -f null -`; negative when ffmpeg is absent.
double ffmpegSecondsPerFrame() {
    const double before = childCpuSeconds();
    const std::string command = "ffmpeg -nostdin -v error -threads 1 -i '" + clip().string() +
                                "' -f null - >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    if (status != 0) {
        return -1;
    }
    return (childCpuSeconds() - before) / kClipFrames;
}

double cpuSeconds(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void BM_LoopPlayerFrame(benchmark::State& state) {
    ManualExecutor main;
    WorkerThread decoder("dev.corvid.kestrel.loop");
    // The argument is the output height: 1080 as the clip, or 720 as the engine asks for a
    // 1280x720 camera.
    const int height = static_cast<int>(state.range(0));
    LoopPlayer player(height * 16 / 9, height, main, decoder);
    player.setUrl(clip());
    if (player.openReader(clip())) {
        state.SkipWithError("cannot open the clip");
        return;
    }
    const double reference = ffmpegSecondsPerFrame();
    const double processStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    double mainThread = 0;
    std::int64_t frames = 0;
    std::int64_t misses = 0;
    for (auto _ : state) {
        decoder.runSync([] {});  // as between two camera frames: the decoder has had its time
        main.runUntilIdle();
        const double before = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        PixelBufferRef frame = player.nextFrame();
        mainThread += cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - before;
        misses += frame ? 0 : 1;
        benchmark::DoNotOptimize(frame);
        ++frames;
    }
    const double perFrame =
        (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart) / static_cast<double>(frames);
    state.counters["cpu_ms_per_frame"] = perFrame * 1e3;
    state.counters["main_ms_per_frame"] = mainThread / static_cast<double>(frames) * 1e3;
    state.counters["ffmpeg_cpu_ms_per_frame"] = reference * 1e3;
    state.counters["ratio_to_ffmpeg"] = reference > 0 ? perFrame / reference : -1;
    state.counters["misses"] = static_cast<double>(misses);
    if (reference > 0) {
        std::printf(
            "player to %dp %.2f ms CPU/frame (main thread %.3f ms), ffmpeg -threads 1 %.2f "
            "ms/frame: ratio %.2f\n",
            height, perFrame * 1e3, mainThread / static_cast<double>(frames) * 1e3, reference * 1e3,
            perFrame / reference);
    }
}
BENCHMARK(BM_LoopPlayerFrame)
    ->Arg(1080)
    ->Arg(720)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3 * kClipFrames);

class DiscardLogSink final : public LogSink {
  public:
    void write(const LogRecord& /*record*/) override {}
};

// Each thread's name, nice value and policy (SCHED_IDLE is 5), as the kernel reports them.
void printThreadPriorities() {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const std::string tid = task.path().filename().string();
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        const pid_t id = std::stoi(tid);
        std::printf("thread %s %-16s nice %d policy %d\n", tid.c_str(), name.c_str(),
                    ::getpriority(PRIO_PROCESS, static_cast<id_t>(id)), ::sched_getscheduler(id));
    }
}

void BM_RecorderRealTime(benchmark::State& state) {
    const char* env = std::getenv("KESTREL_BENCH_RECORD_SECONDS");
    const int seconds = env != nullptr ? std::max(1, std::atoi(env)) : 60;
    const int frameCount = seconds * 15;
    CameraFrames camera;
    // Camera frames are made ahead, so the pacing loop measures only the recorder.
    std::vector<PixelBufferRef> frames;
    for (int i = 0; i < 30; ++i) {
        frames.push_back(camera.frame(i));
    }
    for (auto _ : state) {
        ManualExecutor main;
        LoopLibrary library(benchFolder() / "loops", systemWallClock());
        // Argument 1: encoding on a thread of normal priority, as a baseline for the recorder's
        // own lowered one.
        std::optional<WorkerThread> normalPriority;
        if (state.range(0) == 1) {
            normalPriority.emplace("dev.corvid.kestrel.recorder");
        }
        auto recorder = normalPriority ? LoopRecorder::create(library, main, *normalPriority)
                                       : LoopRecorder::create(library, main);
        recorder->maxSeconds = seconds + 10.0;
        if (recorder->start()) {
            state.SkipWithError("cannot start recording");
            return;
        }
        double worstWall = 0;
        double totalWall = 0;
        double totalCpu = 0;
        const auto begin = std::chrono::steady_clock::now();
        for (int i = 0; i < frameCount; ++i) {
            std::this_thread::sleep_until(begin + std::chrono::nanoseconds(i * 66'666'667LL));
            const auto before = std::chrono::steady_clock::now();
            const double cpuBefore = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            recorder->append(frames[static_cast<std::size_t>(i) % frames.size()],
                             MediaTime::fromNanos(static_cast<std::uint64_t>(i) * 66'666'667ULL));
            totalCpu += cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpuBefore;
            const double took =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
            worstWall = std::max(worstWall, took);
            totalWall += took;
            if (i == frameCount / 2) {
                printThreadPriorities();
            }
        }
        std::optional<std::filesystem::path> url;
        bool done = false;
        recorder->stop([&](const std::optional<std::filesystem::path>& finished) {
            url = finished;
            done = true;
        });
        while (!done) {
            main.runUntilIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const double megabytes =
            url ? static_cast<double>(std::filesystem::file_size(*url)) / 1e6 : 0.0;
        state.counters["frames"] = frameCount;
        state.counters["dropped"] = static_cast<double>(recorder->droppedFrames());
        state.counters["append_cpu_ms_mean"] = totalCpu / frameCount * 1e3;
        state.counters["append_wall_ms_mean"] = totalWall / frameCount * 1e3;
        state.counters["append_wall_ms_max"] = worstWall * 1e3;
        state.counters["file_MB"] = megabytes;
        std::printf(
            "recorder (%s) %d frames: %llu dropped; main thread per append %.3f ms CPU, "
            "wall %.3f ms mean / %.3f ms max; %.1f MB\n",
            normalPriority ? "normal priority" : "lowered", frameCount,
            static_cast<unsigned long long>(recorder->droppedFrames()), totalCpu / frameCount * 1e3,
            totalWall / frameCount * 1e3, worstWall * 1e3, megabytes);
    }
}
BENCHMARK(BM_RecorderRealTime)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace
}  // namespace kestrel

int main(int argc, char** argv) {
    kestrel::Log::setSink(std::make_shared<kestrel::DiscardLogSink>());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(kestrel::benchFolder(), ignored);
    return 0;
}
