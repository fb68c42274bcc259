#!/usr/bin/env bash
# Runs every test of a pictures program, each in a process of its own, so that
# the pictures show what a user sees: files in a home folder's Music and
# Videos, not the tests' temporary folders. Where a private mount namespace can
# be had, /home is a fresh tmpfs inside it holding /home/alex (the machine's
# own /home is not touched); elsewhere the tests use their temporary folders.
# Args: the test program.
set -euo pipefail
program=$1
if [ "${VEXARO_IN_PRIVATE_HOME:-}" != 1 ] && unshare --mount --map-root-user true 2>/dev/null; then
  exec unshare --mount --map-root-user env VEXARO_IN_PRIVATE_HOME=1 bash "$0" "$@"
fi
if [ "${VEXARO_IN_PRIVATE_HOME:-}" = 1 ]; then
  mount -t tmpfs -o mode=0755 tmpfs /home
  mkdir -p /home/alex
  export HOME=/home/alex VEXARO_PICTURE_HOME=/home/alex
else
  echo "no private mount namespace here: the pictures show temporary folders"
fi
tests=$("$program" --gtest_list_tests | awk '/^[^ ]/ {suite=$1} /^  / {print suite $1}')
[ -n "$tests" ] || { echo "no tests listed by $program" >&2; exit 1; }
failed=0
for test in $tests; do
  "$program" --gtest_filter="$test" || failed=1
done
exit $failed
