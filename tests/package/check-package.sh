#!/usr/bin/env bash
# Checks what users install: the install tree of a build (files present, launcher and metainfo
# valid, the installed application starting the installed daemon) and its Debian package
# (metadata and contents, unpacked into a scratch root where `kestrel --help` runs, lintian
# without errors).
# Usage: check-package.sh BUILD_FOLDER PACKAGE.deb
set -euo pipefail
build=$1
deb=$2
scratch=$(mktemp -d)
daemon_pid=
cleanup() {
    if [ -n "$daemon_pid" ]; then kill "$daemon_pid" 2>/dev/null || true; fi
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "package check failed: $*" >&2
    exit 1
}
step() { printf '  %s\n' "$*"; }

installed_files=(
    bin/kestrel
    share/man/man1/kestrel.1.gz
    share/man/man1/kestrel-view.1.gz
    share/man/man1/kestrel-faces.1.gz
    libexec/kestrel/kestrel-camera
    lib/systemd/user/kestrel-camera.service
    share/applications/dev.corvid.kestrel.desktop
    share/metainfo/dev.corvid.kestrel.metainfo.xml
    share/dbus-1/services/dev.corvid.kestrel.service
    share/icons/hicolor/scalable/apps/dev.corvid.kestrel.svg
    share/icons/hicolor/scalable/apps/dev.corvid.kestrel-live.svg
    share/icons/hicolor/scalable/apps/dev.corvid.kestrel-away.svg
    share/icons/hicolor/symbolic/apps/dev.corvid.kestrel-symbolic.svg
    share/doc/kestrel/permissions.html
    share/kestrel/models/face_detection_front_128x128_barracuda.onnx
    share/doc/kestrel/copyright
    share/doc/kestrel/changelog.gz
    share/doc/kestrel/examples/modprobe.d/kestrel.conf
    share/doc/kestrel/examples/modules-load.d/kestrel.conf
)

step "install tree"
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in "${installed_files[@]}"; do
    [ -e "$prefix/$file" ] || fail "cmake --install left out $file"
done
desktop-file-validate "$prefix/share/applications/dev.corvid.kestrel.desktop" ||
    fail "desktop entry invalid"
appstreamcli validate --no-net "$prefix/share/metainfo/dev.corvid.kestrel.metainfo.xml" ||
    fail "metainfo invalid"

step "the installed kestrel starts the installed kestrel-camera"
mkdir -m 0700 "$scratch/run" "$scratch/home"
log=$scratch/kestrel.log
env HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/run" XDG_CONFIG_HOME="$scratch/home/config" \
    XDG_STATE_HOME="$scratch/home/state" XDG_DATA_HOME="$scratch/home/data" KESTREL_LOG=stderr \
    DISPLAY= WAYLAND_DISPLAY= \
    dbus-run-session -- "$prefix/bin/kestrel" --headless --camera pattern --seconds 8 \
    >"$log" 2>&1 || true
for proc in /proc/[0-9]*; do
    if [ "$(readlink "$proc/exe" 2>/dev/null)" = "$prefix/libexec/kestrel/kestrel-camera" ]; then
        daemon_pid=${proc#/proc/}
    fi
done
grep -q "kestrel-camera answers" "$log" && [ -n "$daemon_pid" ] ||
    { cat "$log" >&2; fail "the installed kestrel did not start the installed daemon"; }

step "package metadata and contents"
info=$(dpkg-deb -I "$deb")
contents=$(dpkg-deb -c "$deb")
for dependency in libxnnpack0 libonnx1 libqt6core6 libpipewire-0.3-0; do
    grep -q "^ Depends:.*$dependency" <<<"$info" || fail "Depends lacks $dependency"
done
for file in "${installed_files[@]}"; do
    grep -q " ./usr/$file\$" <<<"$contents" || fail "the package lacks /usr/$file"
done

step "unpacked into a scratch root"
dpkg -x "$deb" "$scratch/root"
"$scratch/root/usr/bin/kestrel" --help >/dev/null || fail "the unpacked kestrel --help failed"

step "lintian"
lintian --fail-on error "$deb" ||
    fail "lintian reports errors"
echo "package check passed: $(basename "$deb")"
