#!/usr/bin/env bash
# Where a camera frame's CPU goes, in one run: the application (headless) and the camera daemon
# relaying to one PipeWire consumer taking YUY2 (GStreamer's pipewiresrc), first with the test
# pattern, then with a file camera (a 1280x720 H.264 clip made with ffmpeg). For each: the CPU
# share of the application, of the daemon and of both; the application's cost per frame, broken
# down by `perf` into capture conversion, detector hand-off, dispatch and the copy into the sink
# slot (a conversion to 4:2:0 planes); and `ffmpeg` turning 1280x720 BGRA into 1920x1080 YUYV,
# scaled bilinear at 15 per second, as the daemon's yardstick (the conversion the daemon had to do
# before the application sent planes; `relay_bench --planar` compares like with like). Load
# averages go with every figure.
# Needs perf, pipewire, wireplumber, gst-launch-1.0 and ffmpeg; runs in a temporary home.
#   bench/app_frame_map.sh [SECONDS per measurement, default 20]
# Goals: daemon at most 0.5x ffmpeg; application plus daemon at most 6% of one core.
set -euo pipefail
seconds=${1:-20}
warmup=6
# shellcheck source=bench_home.sh
source "$(dirname "$(readlink -f "$0")")/bench_home.sh"
export QT_QPA_PLATFORM=offscreen
cleanup() {
    local daemon
    daemon=$(daemon_pid)
    [ -n "$daemon" ] && kill "$daemon" 2>/dev/null || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ -n "${KESTREL_BENCH_KEEP:-}" ] && echo "kept $scratch" || rm -rf "$scratch"
}
trap cleanup EXIT

start_session_bus
pipewire >"$scratch/pipewire.log" 2>&1 &
pids+=($!)
sleep 1
wireplumber >"$scratch/wireplumber.log" 2>&1 &
pids+=($!)

load() { cut -d' ' -f1,2 /proc/loadavg; }

# ffmpeg alone: the yardstick, measured like the processes below.
ffmpeg_share() {
    local clip=$scratch/clip.bgra before after
    [ -f "$clip" ] || ffmpeg -loglevel error -f lavfi -i testsrc2=size=1280x720:rate=15 -frames:v 15 \
        -pix_fmt bgra -f rawvideo "$clip"
    ffmpeg -nostdin -loglevel error -re -stream_loop -1 -f rawvideo -pix_fmt bgra -s 1280x720 -r 15 \
        -i "$clip" -vf scale=1920:1080:flags=bilinear,format=yuyv422 -f null - &
    local ff=$!
    sleep 1
    before=$(ticks "$ff")
    sleep "$seconds"
    after=$(ticks "$ff")
    kill "$ff"
    wait "$ff" 2>/dev/null || true
    percent $((after - before))
}

# Inclusive perf share of the functions matching $2 in report $1, in percent.
share() {
    perf report -i "$1" --children --sort symbol -g none --percent-limit 0 --stdio 2>/dev/null |
        grep -E "$2" | awk '{ gsub("%", "", $1); if ($1 > best) best = $1 } END { printf "%.2f", best + 0 }'
}

run() {
    local name=$1 camera=$2
    "$kestrel" --headless --camera "$camera" 2>"$scratch/kestrel-$name.log" &
    local app=$!
    sleep "$warmup"
    local daemon
    daemon=$(daemon_pid)
    if [ -z "$daemon" ]; then
        echo "$name: the daemon did not start" >&2
        kill "$app"
        return
    fi
    gst-launch-1.0 -q pipewiresrc target-object=kestrel-camera ! video/x-raw,format=YUY2 ! fakesink \
        >/dev/null 2>&1 &
    local gst=$!
    sleep 3
    local a0 d0 f0 a1 d1 f1
    a0=$(ticks "$app") d0=$(ticks "$daemon") f0=$(frames)
    sleep "$seconds"
    a1=$(ticks "$app") d1=$(ticks "$daemon") f1=$(frames)
    # Profiled afterwards: perf's unwinding of the application's stacks costs CPU that would
    # otherwise count as the application's.
    perf record -q --call-graph dwarf -F 499 -o "$scratch/perf-$name.data" -p "$app" -- sleep "$seconds" 2>/dev/null
    local appShare daemonShare ff
    appShare=$(percent $((a1 - a0)))
    daemonShare=$(percent $((d1 - d0)))
    echo "$name: application ${appShare}%, daemon ${daemonShare}%, both" \
        "$(awk -v a="$appShare" -v b="$daemonShare" 'BEGIN { printf "%.2f", a + b }')% of one core" \
        "($((f1 - f0)) frames; load $(load))"
    kill "$gst" "$app"
    wait "$gst" "$app" 2>/dev/null || true
    ff=$(ffmpeg_share)
    echo "  ffmpeg converting alone: ${ff}% (load $(load)); daemon / ffmpeg:" \
        "$(awk -v d="$daemonShare" -v f="$ff" 'BEGIN { printf "%.2f", d / f }')x"
    # The application's CPU per frame, and the stages' shares of it.
    local perFrame
    perFrame=$(awk -v t=$((a1 - a0)) -v hz="$(getconf CLK_TCK)" -v n=$((f1 - f0)) \
        'BEGIN { printf "%.3f", (n > 0 ? 1000 * t / hz / n : 0) }')
    echo "  application per frame: ${perFrame} ms of CPU"
    local data=$scratch/perf-$name.data stage pattern
    for stage in "capture conversion|TestPatternBackend::drawFrame|FileCameraBackend::Player::tick" \
        "detector hand-off|AwayDetector::processFrame" \
        "dispatch|CameraEngine::dispatch" \
        "copy into the sink slot|SinkQueue::enqueue"; do
        pattern=${stage#*|}
        awk -v name="${stage%%|*}" -v s="$(share "$data" "$pattern")" -v f="$perFrame" \
            'BEGIN { printf "    %-24s %6.2f%% of its CPU, %.3f ms per frame\n", name, s, s * f / 100 }'
    done
}

ffmpeg -loglevel error -f lavfi -i testsrc2=size=1280x720:rate=15 -t 10 -c:v libx264 -preset veryfast \
    -pix_fmt yuv420p "$scratch/clip.mp4"
run pattern pattern
run file "file:$scratch/clip.mp4"
