#!/usr/bin/env bash
# The tray application's CPU share over the test-pattern camera, in one run: headless, then with
# the tray icon and the popover hidden, then with the popover (and its live preview) shown. Runs
# on a private Xvfb and session bus with a stand-in tray host, in a temporary home.
#   bench/tray_cpu.sh [SECONDS per phase, default 20]
set -euo pipefail
seconds=${1:-20}
warmup=5
# shellcheck source=bench_home.sh
source "$(dirname "$(readlink -f "$0")")/bench_home.sh"
export KESTREL_LOG=stderr
cleanup() {
    # The camera daemons the application started for this home, then our helpers.
    for pid in $(home_processes); do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

exec 3< <(Xvfb -displayfd 1 -nolisten tcp -screen 0 1280x800x24 2>/dev/null)
pids+=($!)
read -r display <&3
export DISPLAY=:$display
start_session_bus
exec 5< <(/usr/bin/python3 tests/app/ui/status_notifier_watcher.py)
pids+=($!)
read -r _ <&5

# CPU share of process $1 over $seconds, in percent of one core.
measure() {
    local before
    before=$(ticks "$1")
    sleep "$seconds"
    percent $(($(ticks "$1") - before))
}

"$kestrel" --headless --camera pattern 2>/dev/null &
app=$!
sleep "$warmup"
headless=$(measure "$app")
echo "headless: ${headless}% (frames so far: $(frames))"
kill "$app"; wait "$app" || true

"$kestrel" --camera pattern 2>/dev/null &
app=$!
sleep "$warmup"
hidden=$(measure "$app")
echo "tray, popover hidden: ${hidden}% (frames so far: $(frames))"
item=$(gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
    --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher \
    RegisteredStatusNotifierItems | grep -o "'[^']*'" | tail -1 | tr -d "'")
gdbus call --session --dest "$item" --object-path /StatusNotifierItem \
    --method org.kde.StatusNotifierItem.Activate 600 10 >/dev/null
sleep 1
shown=$(measure "$app")
echo "tray, popover and preview shown: ${shown}% (frames so far: $(frames))"
if [ -n "${KESTREL_BENCH_SCREENSHOT:-}" ]; then
    ffmpeg -loglevel error -y -f x11grab -draw_mouse 0 -video_size 1280x800 -i "$DISPLAY" -frames:v 1 \
        "$KESTREL_BENCH_SCREENSHOT"
fi
kill "$app"; wait "$app" || true
awk -v h="$headless" -v a="$hidden" -v b="$shown" \
    'BEGIN { printf "hidden - headless: %+.2f points; shown - headless: %+.2f points\n", a - h, b - h }'
