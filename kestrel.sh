#!/usr/bin/env bash
# Sets up, builds and runs Kestrel on Debian 12. See README.md.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"

# Everything the build, the tests and the tools need, by Debian package name.
PACKAGES=(
    build-essential cmake ninja-build pkg-config clang-format
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    libyuv-dev libopencv-core-dev libopencv-imgproc-dev
    libopencv-objdetect-dev opencv-data libopencv-imgcodecs-dev python3-skimage
    libx11-dev xvfb xdotool python3-dbus python3-gi
    libjpeg62-turbo-dev
    qt6-base-dev libsystemd-dev libqt6svg6 fonts-dejavu-core
    dbus-daemon
    clang libclang-rt-dev
    libpipewire-0.3-dev libpng-dev
    pipewire wireplumber gstreamer1.0-pipewire gstreamer1.0-tools gstreamer1.0-plugins-base
    libavformat-dev libavcodec-dev libswscale-dev libavutil-dev ffmpeg
)

say() { printf '\033[1m==> %s\033[0m\n' "$*"; }

install_missing() {
    local missing=()
    for package in "${PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return
    fi
    say "installing ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y "${missing[@]}"
}

build() {
    local preset=$1
    say "building ($preset)"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
}

check_format() {
    say "checking formatting"
    local files
    mapfile -t files < <(git ls-files -- '*.cpp' '*.h' 2>/dev/null || true)
    if [ ${#files[@]} -eq 0 ]; then
        mapfile -t files < <(find app platform shared extension tests bench tools \
            -name '*.cpp' -o -name '*.h' 2>/dev/null)
    fi
    clang-format --dry-run --Werror "${files[@]}"
}

# Fuzzes the camera link's message decoder for $1 seconds from the checked-in corpus. New
# inputs go to a temporary folder, so the run leaves the tree as it was.
fuzz_link_decoder() {
    build fuzz
    say "fuzzing the camera link decoder ($1 s)"
    local corpus
    corpus=$(mktemp -d)
    build/fuzz/tests/fuzz/link_decoder_fuzz -max_total_time="$1" -timeout=5 -rss_limit_mb=2048 \
        "$corpus" tests/fuzz/corpus
    rm -rf "$corpus"
}

command=${1:-}
shift || true
case "$command" in
    run)
        install_missing
        say "building (default)"
        cmake --preset default >/dev/null
        cmake --build --preset default --target kestrel kestrel-camera kestrel-view
        # kestrel installs and starts the camera daemon beside it (a systemd user unit where a user
        # manager runs, a detached process otherwise); the daemon keeps running after kestrel quits.
        args=("$@")
        if [[ " ${args[*]} " != *" --camera "* ]] && ! compgen -G '/dev/video*' >/dev/null; then
            say "no camera device here: using the test pattern"
            args+=(--camera pattern)
        fi
        if [[ " ${args[*]} " != *" --headless "* ]] && [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
            say "no display: running headless"
            args+=(--headless)
        fi
        say "starting kestrel (Ctrl+C to stop; kestrel --status, --force-away on|off from another shell)"
        build/default/app/kestrel "${args[@]}"
        ;;
    test)
        install_missing
        check_format
        build default
        say "tests (default build)"
        ctest --preset default -j2
        build asan
        say "tests (sanitizer build)"
        ctest --preset asan -j2
        fuzz_link_decoder 30
        ;;
    bench)
        install_missing
        build default
        exec build/default/bench/frame_path_bench "$@"
        ;;
    *)
        echo "usage: $0 run|test|bench" >&2
        exit 2
        ;;
esac
