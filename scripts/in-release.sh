#!/usr/bin/env bash
# Runs a command inside a root of a named Debian release, made from Debian's
# archive with debootstrap, so the suites meet that release's compiler and
# device libraries exactly as a user of it has them.
#
#   scripts/in-release.sh [--keep] RELEASE [COMMAND...]
#
# RELEASE is a Debian suite name (bookworm, trixie, forky, sid, ...).
# COMMAND (default: make test) runs as root in a copy of this checkout at
# /work/main inside the root, with ../shared, when there is one, mounted
# read-only beside it at /work/shared. The copy is made anew each run, so no
# build of the host's leaks in and none of the root's leaks out.
#
# Roots live under AFCLINK_ROOTS (default /var/tmp/afclink-roots). Without
# --keep the root is removed when the command ends; with it the root stays
# and the next run with --keep starts from it, with its packages installed.
# Every mount is made in a private mount namespace, so all of them go when
# the script ends, however it ends.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  exec sudo -E "$0" "$@"
fi

keep=0
if [ "${1:-}" = "--keep" ]; then
  keep=1
  shift
fi
release="${1:?usage: in-release.sh [--keep] RELEASE [COMMAND...]}"
shift
[ $# -gt 0 ] || set -- make test

checkout="$(cd "$(dirname "$0")/.." && pwd)"
roots="${AFCLINK_ROOTS:-/var/tmp/afclink-roots}"
root="$roots/$release"
mirror="${AFCLINK_DEBIAN_MIRROR:-http://deb.debian.org/debian}"

bash "$checkout/scripts/install-deps.sh" roots

# A suite this host's debootstrap has no script for (a new testing) is
# bootstrapped with the sid script, which follows the archive's current form.
script="$release"
[ -e "/usr/share/debootstrap/scripts/$release" ] || script=sid

# A minimal system with make, as a machine one types `make test` on has.
# The archive sometimes drops one request ("Failed getting release file")
# and answers the same one a minute later: try again after a growing pause.
bootstrap() {
  local pause
  for pause in 10 30 60 0; do
    rm -rf "$root.partial"
    debootstrap --variant=minbase --include=make --components=main "$release" "$root.partial" \
      "$mirror" "$script" >"$roots/$release.debootstrap.log" 2>&1 && return 0
    tail -20 "$roots/$release.debootstrap.log" >&2
    [ "$pause" -gt 0 ] || break
    echo "in-release: debootstrap failed; trying again in $pause s" >&2
    sleep "$pause"
  done
  rm -rf "$root.partial"
  return 1
}

make_root() {
  rm -rf "$root"
  mkdir -p "$roots"
  echo "in-release: making a $release root in $root"
  bootstrap || return 1
  # apt inside the root retries its own downloads the same way.
  echo 'Acquire::Retries "5";' >"$root.partial/etc/apt/apt.conf.d/99afclink-retries"
  # An archive copy of a testing suite may be past its Release file's
  # Valid-Until date; the suite is still what that release's users have.
  echo 'Acquire::Check-Valid-Until "false";' >"$root.partial/etc/apt/apt.conf.d/99afclink-valid-until"
  echo "deb $mirror $release main" >"$root.partial/etc/apt/sources.list"
  mv "$root.partial" "$root"
}

# A root is reused only when kept and complete; a half-made one is remade.
if [ $keep -eq 0 ] || [ ! -x "$root/usr/bin/apt-get" ]; then
  make_root
fi
cleanup() {
  if [ $keep -eq 0 ]; then
    rm -rf --one-file-system "$root"
  fi
}
trap cleanup EXIT

# The checkout as it stands in the work tree (uncommitted changes too), less
# builds and anything git ignores. A kept root keeps its own builds, so a
# second run rebuilds only what changed.
mkdir -p "$root/work/main" "$root/work/shared"
find "$root/work/main" -mindepth 1 -maxdepth 1 ! -name 'build*' -exec rm -rf {} +
(cd "$checkout" && git ls-files -z --cached --others --exclude-standard |
  xargs -0 -r tar -c --ignore-failed-read -f - 2>/dev/null) | tar -x -C "$root/work/main"
cp /etc/resolv.conf "$root/etc/resolv.conf"

shared=""
[ -d "$checkout/../shared" ] && shared="$(cd "$checkout/../shared" && pwd)"

# Inside a new mount namespace: the mounts below vanish with it.
unshare --mount --propagation private -- bash -s -- "$root" "$shared" "$@" <<'INNER'
set -euo pipefail
root="$1"; shared="$2"; shift 2
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/tmp"
if [ -n "$shared" ]; then
  mount --bind "$shared" "$root/work/shared"
  mount -o remount,bind,ro "$root/work/shared"
fi
cmd="$(printf '%q ' "$@")"
exec chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" CI="${CI:-}" \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
  /bin/bash -c "cd /work/main && $cmd"
INNER
