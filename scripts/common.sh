# Shared by scripts/setup and scripts/test: package installation and the
# build. Source it; it sets ROOT and BUILD.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${VEXARO_BUILD_DIR:-$ROOT/build}

# Debian packages the build and the tests need.
PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev
  libcurl4-openssl-dev ca-certificates
  libcpp-httplib-dev
  ffmpeg curl
  nginx-light aria2  # bench_segments: the throttling server and the peer
  python3 time
  locales
  qt6-base-dev qt6-svg-dev fonts-liberation
  xvfb xdotool x11-apps imagemagick libxcb1-dev
  clang libclang-rt-14-dev  # scripts/fuzz
  chromium firefox-esr  # the browser add-on's tests (tests/browser/)
  dbus-daemon  # tests/manager/notify_test: a private session bus
)

install_packages() {
  local missing=()
  local p
  for p in "${PACKAGES[@]}"; do
    # No pipe into grep -q: under pipefail its early exit can turn a match
    # into a failed pipeline.
    local status
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) || status=
    if [[ $status != *"install ok installed"* ]]; then
      missing+=("$p")
    fi
  done
  if ((${#missing[@]} == 0)); then
    return 0
  fi
  echo "Installing: ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" != 0 ]; then sudo=(sudo); fi
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

build() {
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXARO_WERROR=ON
  cmake --build "$BUILD" -j "$(nproc)"
}
