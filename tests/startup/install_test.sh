#!/bin/sh
# What `cmake --install` puts in place, installed into a scratch DESTDIR.
# Args: the build folder.
set -eu
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
DESTDIR="$dest" cmake --install "$1" --prefix /opt/vexaro >/dev/null
prefix="$dest/opt/vexaro"
for file in bin/vexaro bin/vexaro-store share/icons/hicolor/scalable/apps/vexaro.svg \
            share/applications/vexaro.desktop; do
  [ -e "$prefix/$file" ] || { echo "missing: $file"; exit 1; }
done
grep -qx 'NoDisplay=true' "$prefix/share/applications/vexaro.desktop" || { echo "desktop entry is shown in menus"; exit 1; }
grep -qx 'Exec=vexaro' "$prefix/share/applications/vexaro.desktop" || { echo "desktop entry starts something else"; exit 1; }
[ -n "$(find "$dest" -path '*/Vexaro/ffmpeg' -type l)" ] || { echo "missing: the converter link"; exit 1; }
"$prefix/bin/vexaro" --version
help=$("$prefix/bin/vexaro" --help)
printf '%s\n' "$help" | grep -q '^example:' || { echo "--help shows no example"; exit 1; }
echo "install layout ok"
