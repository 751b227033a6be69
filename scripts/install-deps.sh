#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, when
# any of them is missing. Safe to run again; does nothing when all are there.
#   usage: scripts/install-deps.sh [--fuzz] [--package] [--ci]
#     --fuzz     also clang and its fuzzing runtime (about 300 MiB), for make fuzz
#     --package  also what CPack needs to build the Debian packages (file,
#                dpkg-dev for dpkg-shlibdeps), for make package
#     --ci       also what .ci/run checks with: clang-format, and lintian with
#                the packaging tools
# Runs apt-get as root, or through sudo for a user who may use it.
set -euo pipefail

# make run and make test: one package a line.
packages=(
  make
  build-essential
  cmake
  ninja-build
  pkg-config
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libcurl4-openssl-dev
  zlib1g-dev
  libdeflate-dev
  libcli11-dev
  nlohmann-json3-dev
  python3
  python3-pyftpdlib
  ansible-core
  gzip
  pigz
  u-boot-tools
  qt6-base-dev
  qt6-base-dev-tools
  libgl-dev
  libqt6svg6
  xvfb
  xauth
  fonts-liberation
)
fuzz_packages=(
  clang
  libclang-rt-14-dev
)
package_packages=(
  file
  dpkg-dev
  binutils
)
ci_packages=(
  clang-format
  git
  lintian
  fakeroot
  "${package_packages[@]}"
)

for arg in "$@"; do
  case "$arg" in
    --fuzz) packages+=("${fuzz_packages[@]}") ;;
    --package) packages+=("${package_packages[@]}") ;;
    --ci) packages+=("${ci_packages[@]}") ;;
    *)
      echo "usage: $0 [--fuzz] [--package] [--ci]" >&2
      exit 2
      ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

# sudo resets the environment, so the setting that keeps apt-get from asking
# questions is passed through env on the far side of it.
if [ "$(id -u)" -eq 0 ]; then
  as_root=(env DEBIAN_FRONTEND=noninteractive)
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo env DEBIAN_FRONTEND=noninteractive)
else
  cat >&2 <<MSG
install-deps: these Debian packages are missing: ${missing[*]}
install-deps: installing them needs root, and this user is not root and has no sudo.
Either install them as root:
    su -c 'apt-get update && apt-get install -y --no-install-recommends ${missing[*]}'
or make this user a sudoer once (as root: apt-get install sudo && adduser $(id -un) sudo,
then log out and in again) and run this script again.
MSG
  exit 1
fi

echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
# apt's own summary stays (what is installed, how much is fetched, the disk
# space it takes); the download lines and dpkg's line per unpacked and set-up
# package go, errors go to standard error as ever.
"${as_root[@]}" apt-get install -y -q -o Dpkg::Use-Pty=0 --no-install-recommends "${missing[@]}" |
  { grep -v -E '^(Get:[0-9]+ |Selecting previously unselected|Preparing to unpack|Unpacking |Setting up |Processing triggers |\(Reading database)' || true; }
echo "install-deps: installed ${#missing[@]} packages"
