#!/usr/bin/env bash
# Makes the release from a built tree, installs the package (dpkg -i as root, unpacked into a
# folder otherwise), dictates the demo sample with the installed mirvo, and checks the manifest.
# Usage: PackageTest.sh BUILD_DIR MANIFEST_CHECK
set -euo pipefail
build="$(realpath "$1")"
check="$2"
cd "$(dirname "$0")/../.."

work="$(mktemp -d /tmp/mirvo-package.XXXXXX)"
installed=0
cleanup() {
    [ "$installed" = 1 ] && dpkg -r mirvo >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

scripts/package --no-build --build-dir "$build" "$work/out" >"$work/made"
deb="$(sed -n 1p "$work/made")"
manifest="$(sed -n 2p "$work/made")"

depends="$(dpkg-deb -f "$deb" Depends)"
for needed in pocketsphinx-en-us libpulse0 libqt6core6 libqt6widgets6 libpocketsphinx3; do
    grep -q "$needed" <<<"$depends" || { echo "Depends lacks $needed: $depends" >&2; exit 1; }
done
contents="$(dpkg-deb -c "$deb")"
for file in ./usr/bin/mirvo ./usr/share/applications/mirvo.desktop \
    ./usr/share/icons/hicolor/256x256/apps/mirvo.png ./usr/share/mirvo/help.html; do
    grep -q " $file\$" <<<"$contents" || { echo "package lacks $file" >&2; exit 1; }
done

# Installed for real only where it replaces nothing of somebody else's.
if [ "$(id -u)" = 0 ] && ! dpkg-query -W mirvo >/dev/null 2>&1; then
    dpkg -i "$deb" >/dev/null
    installed=1
    binary=/usr/bin/mirvo
else
    dpkg-deb -x "$deb" "$work/root"
    binary="$work/root/usr/bin/mirvo"
fi
output="$(MIRVO_BINARY="$binary" scripts/demo)"
grep -q "^Delivered: please send the quarterly report" <<<"$output" ||
    { echo "the installed mirvo delivered: $output" >&2; exit 1; }

"$check" manifest-check "$manifest" "$deb"
echo "installed $(basename "$deb") ($binary) and dictated: $output"
