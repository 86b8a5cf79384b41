#!/usr/bin/env bash
# The Debian package holds the program, its manual page, its licence, its changelog and the
# example systemd unit; depends on ALSA's library; passes lintian without an error; and the
# program in it runs. Arguments: the build directory.
set -euo pipefail
build=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "$*"
    exit 1
}

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1) ||
    fail "cpack failed: $(cat "$work/cpack.log")"
deb=$(find "$work" -maxdepth 1 -name 'livedelay_*.deb' | head -n 1)
[ -n "$deb" ] || fail "no package was built"

doc=usr/share/doc/livedelay
contents=$(dpkg-deb -c "$deb")
for path in usr/bin/livedelay usr/share/man/man1/livedelay.1.gz "$doc/copyright" \
    "$doc/changelog.gz" "$doc/examples/livedelay.service"; do
    grep -q " \./$path\$" <<<"$contents" || fail "the package lacks /$path"
done
dpkg-deb -f "$deb" Depends | grep -qE '(^|, )libasound2( |,|$)' || fail "no dependency on libasound2"

dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/livedelay" --version | grep -q '^livedelay ' || fail "the packaged program does not run"
zcat "$work/root/usr/share/man/man1/livedelay.1.gz" | grep -q '^\.TH LIVEDELAY 1' || fail "the manual page is not one"

# The copyright file is in the machine-readable format and carries LICENSE's terms word for
# word; the changelog's latest entry is this version; the unit is the one of contrib/.
copyright="$work/root/$doc/copyright"
head -n 1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "the copyright file is not in the machine-readable format"
grep -qx 'License: BSD-2-Clause' "$copyright" || fail "the copyright file names no licence"
terms() {
    sed -e 's/^ //' -e 's/^\.$//' | tr -s ' \n' ' '
}
packaged_terms=$(sed -n '/^License:/,$p' "$copyright" | tail -n +2 | terms)
licence_terms=$(tail -n +3 "$source_dir/LICENSE" | terms)
[ "$packaged_terms" = "$licence_terms" ] || fail "the copyright file's licence is not LICENSE's"
version=$(dpkg-deb -f "$deb" Version)
zcat "$work/root/$doc/changelog.gz" | head -n 1 | grep -q "^livedelay ($version) " ||
    fail "the changelog's latest entry is not version $version"
cmp -s "$work/root/$doc/examples/livedelay.service" "$source_dir/contrib/livedelay.service" ||
    fail "the packaged unit is not contrib/livedelay.service"

# Debian's own checker: warnings are shown, an error fails.
lintian_out=$(lintian --fail-on error "$deb" 2>&1) || fail "lintian finds errors:
$lintian_out"
[ -z "$lintian_out" ] || echo "$lintian_out"
echo "package ok: $(basename "$deb")"
