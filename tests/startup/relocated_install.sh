#!/usr/bin/env bash
# The converter is found from the running program's own folder: run from the
# build tree, and installed into a temporary prefix that is then moved to
# another folder, vexaro-store's convert command still converts, and no path
# of the build folder is compiled into the installed program.
# Args: build folder, the build tree's vexaro-store, and the build's
# sanitizers (VEXARO_SANITIZE; empty or absent for an ordinary build).
set -euo pipefail
build=$1
store=$2
sanitize=${3:-}
unset VEXARO_PROGRAM_FILES_COMMON
work=$(mktemp -d "${TMPDIR:-/tmp}/vexaro-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
# A data folder of its own (convert installs the texts into a new one), and
# the English words whatever the machine's language.
export XDG_DATA_HOME=$work/data LC_ALL=C

ffmpeg -hide_banner -loglevel error -y -f lavfi -i sine=frequency=440:duration=1 \
  -f lavfi -i color=size=64x64:duration=1 "$work/clip.flv"

convert_with() {  # program, output name
  local out
  out=$("$1" convert "$work/clip.flv" "$work/$2" -vn -acodec libmp3lame -ab 160k -ac 2 -ar 44100)
  echo "$out"
  grep -q "^status: Done: $work/$2\$" <<<"$out"
  [ "$(head -c 3 "$work/$2")" = "ID3" ]
}

echo "== from the build tree"
convert_with "$store" build.mp3

echo "== installed, then moved"
cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
mv "$work/prefix" "$work/moved"
ls -l "$work/moved/bin/vexaro-store" "$work/moved/libexec/Vexaro/ffmpeg"
convert_with "$work/moved/bin/vexaro-store" moved.mp3

# Debug information may name source folders; the program's data must not.
# The whole section goes to a file first: an early-exiting reader (grep -q) in
# a pipefail pipeline kills readelf with SIGPIPE, and the pipeline's status
# then says "no match" whatever was found.
build_real=$(cd "$build" && pwd -P)
readelf -p .rodata "$work/moved/bin/vexaro-store" > "$work/rodata.txt"
[ -s "$work/rodata.txt" ] || { echo "readelf found no .rodata to check" >&2; exit 1; }
grep -F "$build_real" "$work/rodata.txt" > "$work/build-paths.txt" || true
if [ -n "$sanitize" ]; then
  # AddressSanitizer keeps the name of every instrumented source file in the
  # program's data, and sources generated into the build folder are named by
  # their absolute path there (GCC's -ffile-prefix-map does not reach those
  # names). Such a name is only a label in its reports; anything else of the
  # build folder still fails.
  unexpected=$work/unexpected.txt
  : > "$unexpected"
  while IFS= read -r line; do
    name=${line#*]}
    name=${name#"${name%%[![:space:]]*}"}
    case $name in
      "$build_real"/*.cpp) [ -f "$name" ] && continue ;;
    esac
    printf '%s\n' "$line" >> "$unexpected"
  done < "$work/build-paths.txt"
  mv "$unexpected" "$work/build-paths.txt"
  echo "sanitizer build ($sanitize): generated sources' names in the data are allowed"
fi
if [ -s "$work/build-paths.txt" ]; then
  echo "the installed program holds a path of the build folder:" >&2
  cat "$work/build-paths.txt" >&2
  exit 1
fi
echo "relocated install converts"
