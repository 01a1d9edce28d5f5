#!/usr/bin/env bash
# Makes the release from a built tree, installs the package (dpkg -i as root, unpacked into a
# folder otherwise), dictates the demo sample with the installed mirvo, and checks the manifest.
# Usage: PackageTest.sh BUILD_DIR
set -euo pipefail
build="$(realpath "$1")"
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
for file in ./usr/bin/mirvo ./usr/share/applications/ai.mirvo.Mirvo.desktop \
    ./usr/share/icons/hicolor/256x256/apps/mirvo.png ./usr/share/mirvo/help.html \
    ./usr/share/man/man1/mirvo.1; do
    grep -q " $file\$" <<<"$contents" || { echo "package lacks $file" >&2; exit 1; }
done
grep -Eq " ./usr/lib/(.*/)?mirvo/mirvo-app.so$" <<<"$contents" ||
    { echo "package lacks the application module" >&2; exit 1; }
# KWin lets the program its .desktop file names by full path type the paste chord.
entry="$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/applications/ai.mirvo.Mirvo.desktop)"
grep -q "^Exec=/usr/bin/mirvo %u$" <<<"$entry" && grep -q "^X-KDE-Wayland-Interfaces=" <<<"$entry" ||
    { echo "the .desktop file does not name /usr/bin/mirvo for KWin: $entry" >&2; exit 1; }

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
grep -q "^Delivered: Please send .* quarterly report to the finance team" <<<"$output" ||
    { echo "the installed mirvo delivered: $output" >&2; exit 1; }

# The manifest names this version, an https address of this file, its digest and its size.
python3 - "$manifest" "$deb" "$(dpkg-deb -f "$deb" Version)" <<'EOF'
import hashlib, json, os, sys
manifest, deb, version = json.load(open(sys.argv[1])), sys.argv[2], sys.argv[3]
data = open(deb, "rb").read()
expected = {"version": version, "sha256": hashlib.sha256(data).hexdigest(), "sizeBytes": len(data),
            "minimumSystemVersion": "Debian 12"}
wrong = [key for key, value in expected.items() if manifest.get(key) != value]
url = manifest.get("downloadUrl", "")
if not url.startswith("https://") or not url.endswith("/" + os.path.basename(deb)):
    wrong.append("downloadUrl")
if not manifest.get("publishedAt", "").endswith("Z"):
    wrong.append("publishedAt")
sys.exit("manifest: wrong " + ", ".join(wrong) if wrong else 0)
EOF
echo "installed $(basename "$deb") ($binary) and dictated: $output"
