#!/usr/bin/env bash
# Installs the Debian packages this project builds, runs and tests with; does nothing when
# they are all present. Works as root, or through sudo otherwise.
set -euo pipefail

packages=(g++ cmake make pkg-config libasound2-dev libsoundtouch-dev googletest libgtest-dev)
case "${1:-}" in
    --demo) packages+=(sox) ;;
    # dpkg-shlibdeps works out the package's dependencies.
    --deb) packages+=(dpkg-dev) ;;
    --test)
        packages+=(alsa-utils pulseaudio pulseaudio-utils libasound2-plugins sox procps tmux)
        # The check of the Debian package.
        packages+=(dpkg-dev lintian)
        # The PipeWire and JACK servers of the real-time tests; PipeWire's own ALSA plugin
        # conflicts with pulseaudio, so the tests unpack it instead.
        packages+=(pipewire pipewire-bin wireplumber pipewire-pulse dbus-daemon)
        packages+=(jackd2 libjack-jackd2-dev)
        ;;
    --bench)
        packages+=(sox libsox-fmt-alsa libbenchmark-dev time)
        # The time-stretching library livedelay did not choose, measured beside the one it did.
        packages+=(librubberband-dev)
        # The resampler livedelay measures its own against.
        packages+=(libsamplerate0-dev)
        packages+=(pulseaudio pulseaudio-utils libasound2-plugins)
        ;;
esac

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
