# Sourced by the benchmark scripts: a private home for kestrel with the first run finished (a
# windowed start shows no wizard and runs the engine at once), a session bus of its own, and the
# CPU-share helpers. The sourcing script sets `seconds` and keeps its child processes in `pids`.
cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.."
kestrel=build/default/app/kestrel
[ -x "$kestrel" ] && [ -x build/default/extension/kestrel-camera ] || {
    echo "build kestrel and kestrel-camera first" >&2
    exit 2
}

scratch=$(mktemp -d)
export HOME=$scratch XDG_RUNTIME_DIR=$scratch/run XDG_CONFIG_HOME=$scratch/config
export XDG_DATA_HOME=$scratch/data XDG_STATE_HOME=$scratch/state
mkdir -m 700 -p "$XDG_RUNTIME_DIR"
mkdir -p "$XDG_CONFIG_HOME/corvid"
printf '[General]\nkestrel.hasSeenOnboarding=true\n' >"$XDG_CONFIG_HOME/corvid/kestrel.conf"
pids=()

# The processes started for this home (the application starts its camera daemon detached).
home_processes() {
    local proc
    for proc in /proc/[0-9]*; do
        if { tr "\0" "\n" <"$proc/environ"; } 2>/dev/null | grep -qx "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR"; then
            echo "${proc#/proc/}"
        fi
    done
}
daemon_pid() {
    local pid
    for pid in $(home_processes); do
        if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = kestrel-camera ]; then
            echo "$pid"
            return
        fi
    done
}

start_session_bus() {
    exec 4< <(dbus-daemon --session --nofork --print-address=1)
    pids+=($!)
    read -r DBUS_SESSION_BUS_ADDRESS <&4
    export DBUS_SESSION_BUS_ADDRESS
}

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# $1 clock ticks over $seconds, in percent of one core.
percent() { awk -v t="$1" -v hz="$(getconf CLK_TCK)" -v s="$seconds" 'BEGIN { printf "%.2f", 100 * t / hz / s }'; }
frames() { "$kestrel" --status 2>/dev/null | sed -n 's/.*"dispatchCount": *\([0-9]*\).*/\1/p'; }
