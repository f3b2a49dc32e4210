#!/usr/bin/env bash
# Installs the Debian packages the build, the tools and the tests need.
# `make bench` passes --bench; its needs are in the one list now. Idempotent: asks apt only for
# what dpkg does not already have, so a second run is quick.
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libturbojpeg0-dev libjpeg62-turbo-dev libjpeg-turbo-progs
  libsdl2-dev libcli11-dev nlohmann-json3-dev
  tinyproxy xvfb libx11-dev libxtst-dev clang lld libclang-rt-14-dev
  libboost-dev libpng-dev
  # The web container's tests: a browser (driven by playwright-core from npm, installed by the
  # test setup), a reverse proxy in front, and a second reader of the multipart stream. The
  # benchmarks compare against ffmpeg and make their natural-looking picture with it too.
  chromium nginx-light ffmpeg
)
# Node and npm from Debian unless a node with its npm is already there (another distribution's
# nodejs package carries npm itself and conflicts with Debian's).
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
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
