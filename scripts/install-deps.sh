#!/usr/bin/env bash
# Installs the Debian packages the build, the tools and the tests need.
# With --demo, only what building the command (the web container included) and playing the demo
# need; with --bench, also what `make bench` needs. Idempotent: asks apt only for what dpkg does
# not already have, so a second run is quick.
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  libturbojpeg0-dev libpng-dev
  libsdl2-dev libcli11-dev nlohmann-json3-dev libboost-dev
)
if [ "${1:-}" != "--demo" ]; then
  # The tests and their tools: GoogleTest, libjpeg, djpeg, a proxy, an X server, the fuzz compiler;
  # the web container's browser (driven by playwright-core from npm, installed by the test setup),
  # nginx in front of it, ffmpeg and motion as other Motion-JPEG peers. The benchmarks compare
  # against ffmpeg and make their natural-looking picture with it too.
  packages+=(
    libgtest-dev libgmock-dev libbenchmark-dev libjpeg62-turbo-dev libjpeg-turbo-progs
    tinyproxy xvfb libx11-dev libxtst-dev clang lld libclang-rt-14-dev
    chromium nginx-light ffmpeg motion
  )
  # Node and npm from Debian unless a node with its npm is already there (another distribution's
  # nodejs package carries npm itself and conflicts with Debian's).
  if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    packages+=(nodejs npm)
  fi
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "error: missing packages and not root; install them with: apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
