#!/usr/bin/env bash
# The Debian package holds the program and its manual page, depends on ALSA's library, and
# the program in it runs. Arguments: the build directory.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(find "$work" -maxdepth 1 -name 'livedelay_*.deb' | head -n 1)
[ -n "$deb" ] || { echo "no package was built"; exit 1; }

contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/livedelay ./usr/share/man/man1/livedelay.1.gz; do
    grep -q " $path\$" <<<"$contents" || { echo "the package lacks $path"; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q '^libasound2' || { echo "no dependency on libasound2"; exit 1; }

dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/livedelay" --version | grep -q '^livedelay ' || { echo "the packaged program does not run"; exit 1; }
zcat "$work/root/usr/share/man/man1/livedelay.1.gz" | grep -q '^\.TH LIVEDELAY 1' || { echo "the manual page is not one"; exit 1; }
echo "package ok: $(basename "$deb")"
