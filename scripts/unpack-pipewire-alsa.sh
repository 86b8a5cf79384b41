#!/usr/bin/env bash
# Unpacks Debian's pipewire-alsa package (PipeWire's ALSA plugin) into DESTDIR without
# installing it: on Debian 12 it conflicts with pulseaudio, which the other real-time tests
# run.  Prints the path of libasound_module_pcm_pipewire.so.  Does nothing more when DESTDIR
# already holds it.  Works as root, or as a user with sudo for the one step that needs root
# (refreshing the package lists when apt does not know the package).
#
#   scripts/unpack-pipewire-alsa.sh DESTDIR
set -u

die() {
    echo "unpack-pipewire-alsa: $*" >&2
    exit 1
}

[ $# -eq 1 ] || {
    echo "usage: $0 DESTDIR" >&2
    exit 2
}
dest=$1
plugin=libasound_module_pcm_pipewire.so

find_plugin() {
    find "$dest" -path "*/alsa-lib/$plugin" -type f 2>/dev/null | head -n 1
}

found=$(find_plugin)
if [ -n "$found" ]; then
    echo "$found"
    exit 0
fi

command -v apt-get >/dev/null || die "apt-get is not available: cannot fetch pipewire-alsa"
command -v dpkg-deb >/dev/null || die "dpkg-deb is not available: cannot unpack pipewire-alsa"
mkdir -p "$dest" || die "cannot create $dest"
dest=$(cd "$dest" && pwd) || die "cannot enter $dest"

work=$(mktemp -d) || die "cannot create a temporary directory"
trap 'rm -rf "$work"' EXIT
# As root apt downloads as its sandbox user, which must be able to write here.
if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then
    chown _apt "$work"
fi

# The plugin links against libpipewire: take the version that is installed, if apt still
# offers it, else the one apt would install.
version=$(dpkg-query -W -f='${Version}' libpipewire-0.3-0 2>/dev/null || true)

download() {
    if [ -n "$version" ] && (cd "$work" && apt-get download -q "pipewire-alsa=$version") \
        >"$work/apt.log" 2>&1; then
        return 0
    fi
    (cd "$work" && apt-get download -q pipewire-alsa) >>"$work/apt.log" 2>&1
}

if ! download; then
    # A machine whose package lists were never fetched knows no package at all.
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "unpack-pipewire-alsa: refreshing the package lists" >&2
    $sudo apt-get update -qq >&2 || die "apt-get update failed"
    download || {
        cat "$work/apt.log" >&2
        die "apt-get download pipewire-alsa failed"
    }
fi

deb=$(find "$work" -maxdepth 1 -name 'pipewire-alsa_*.deb' | head -n 1)
[ -n "$deb" ] || die "apt-get download left no pipewire-alsa package in $work"
dpkg-deb -x "$deb" "$dest" || die "cannot unpack $deb into $dest"
found=$(find_plugin)
[ -n "$found" ] || die "$deb holds no $plugin"
echo "$found"
