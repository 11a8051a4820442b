#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need;
# `install-deps.sh fuzz` adds clang and its libFuzzer and sanitizer
# runtimes for the fuzz build, and `install-deps.sh lint` adds clang-format
# and clang-tidy for scripts/check-format.sh and scripts/check-tidy.sh, and
# `install-deps.sh package` adds dpkg-dev and file (dpkg-shlibdeps and CPack name the Debian
# package's dependencies) and man-db (to read the installed manual pages).
# Does nothing when they are all present; runs
# apt-get update only when something is missing. Works as root or through
# sudo.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  zlib1g-dev libplist-dev libimobiledevice-dev libusbmuxd-dev libssl-dev libsqlite3-dev
  libimobiledevice-utils libgtest-dev
  python3 openssl
)

for group in "$@"; do
  case "$group" in
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    # Version 14, the one .clang-format was tuned with and Debian 12 ships.
    lint) packages+=(clang-format-14 clang-tidy-14) ;;
    package) packages+=(dpkg-dev file man-db) ;;
    roots) packages+=(debootstrap) ;;
    *) echo "install-deps: unknown group: $group (known: fuzz, lint, package, roots)" >&2; exit 2 ;;
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

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "install-deps: need root or sudo to install: ${missing[*]}" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# One dropped request to the archive must not fail the whole run: apt tries
# each download again, and a failed update is tried again after a pause.
retries=(-o Acquire::Retries=5)
for pause in 5 15 30 0; do
  "${as_root[@]}" apt-get "${retries[@]}" update -q && break
  [ "$pause" -gt 0 ] || exit 1
  echo "install-deps: apt-get update failed; trying again in $pause s" >&2
  sleep "$pause"
done
"${as_root[@]}" apt-get "${retries[@]}" install -y -q --no-install-recommends "${missing[@]}"
