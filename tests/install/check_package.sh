#!/usr/bin/env bash
# Checks that afclink installs and runs where it is installed:
#   1. `make install` into a staging folder (DESTDIR): exactly the expected
#      files; afclink answers `status` and `quit` from there, and the
#      emulator's launcher runs from there;
#   2. `make package`, then `dpkg -i` of the package: the same files under
#      /usr; /usr/bin/afclink answers `status` and `quit`, and fetches a
#      database from /usr/bin/afclink-fakedevice over TLS; both manual pages
#      read with man;
#   3. `dpkg -r afclink` (also on any failure or interruption, by a trap):
#      nothing of the package is left behind.
# Needs root, or sudo, for dpkg; refuses to run when afclink is already
# installed as a package. One line per check; non-zero at the first failure.
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$SECONDS

say() { echo "check_package: $*"; }
fail() {
  echo "check_package: FAIL: $*" >&2
  exit 1
}

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || fail "dpkg -i needs root or sudo"
  as_root=(sudo)
fi

# The machine is to be left as it was: nothing of ours may be there before.
if dpkg-query -W -f='${Status}' afclink 2>/dev/null | grep -q ' installed$'; then
  fail "afclink is installed as a package already; remove it (dpkg -r afclink) and run again"
fi
for path in /usr/bin/afclink /usr/bin/afclink-fakedevice /usr/share/afclink; do
  [ ! -e "$path" ] || fail "$path exists and the package would replace it; move it away first"
done

work=$(mktemp -d /tmp/afclink-check.XXXXXX)
installed_by_us=0
emulator_pid=
app_pid=
cleanup() {
  local status=$?
  set +e
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  [ -n "$emulator_pid" ] && kill "$emulator_pid" 2>/dev/null && wait "$emulator_pid" 2>/dev/null
  if [ "$installed_by_us" = 1 ]; then
    say "removing the package after a failure"
    "${as_root[@]}" dpkg -r afclink >"$work/remove.log" 2>&1 || cat "$work/remove.log" >&2
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Runs a command with its output in a log, shown only when it fails.
quietly() {
  local name=$1
  shift
  "$@" >"$work/$name.log" 2>&1 || {
    cat "$work/$name.log" >&2
    fail "$name failed: $*"
  }
}

# Every file the installation holds under PREFIX, sorted.
expected_files() {
  local prefix=$1 file
  {
    printf '%s\n' "$prefix/bin/afclink" "$prefix/bin/afclink-fakedevice" \
      "$prefix/share/man/man1/afclink.1.gz" "$prefix/share/man/man1/afclink-fakedevice.1.gz"
    for file in tools/fakedevice/*.py tools/fakedevice/fixtures/*.pem; do
      echo "$prefix/share/afclink/fakedevice/${file#tools/fakedevice/}"
    done
  } | sort
}

same_files() {  # WHAT, the list found; compared with the expected list
  diff -u <(expected_files /usr) <(sort <<<"$2") >"$work/files.diff" || {
    cat "$work/files.diff" >&2
    fail "$1 does not hold exactly the expected files (- missing, + extra)"
  }
}

# `status`, `quit`, `status`: only the first two are answered (quit ends
# it), with "disconnected" and "ok"; exit status 0; nothing on stderr.
answers_status_and_quit() {
  local binary=$1 out rc=0
  mkdir -p "$work/home"
  out=$(printf 'status\nquit\nstatus\n' |
    HOME="$work/home" USBMUXD_SOCKET_ADDRESS="UNIX:$work/no-usbmuxd" \
      timeout 10 "$binary" 2>"$work/stderr") || rc=$?
  [ "$rc" = 0 ] || fail "$binary exited with status $rc"
  [ "$out" = $'disconnected\nok' ] || fail "$binary answered $(printf %q "$out")"
  [ ! -s "$work/stderr" ] || fail "$binary wrote on stderr: $(cat "$work/stderr")"
  say "ok: $binary answers status (disconnected) and quit (ok), exit status 0"
}

# --help works, and running leaves no byte-code beside the installed modules.
launcher_runs() {
  local launcher=$1 modules=$2 out
  out=$("$launcher" --help 2>&1) || fail "$launcher --help failed: $out"
  [[ "$out" == "usage: afclink-fakedevice "* ]] || fail "$launcher --help printed: $out"
  [ -z "$(find "$modules" -name __pycache__)" ] || fail "running $launcher left __pycache__ in $modules"
  say "ok: $launcher --help"
}

# The installed emulator serves a database, the installed afclink fetches
# it, as a parent application would drive it.
fetches_from_installed_emulator() {
  local dir=$work/session reply _
  mkdir -p "$dir/root/iTunes_Control/iTunes" "$dir/home"
  head -c 300000 /dev/urandom >"$dir/root/iTunes_Control/iTunes/iTunesDB"
  /usr/bin/afclink-fakedevice --socket "$dir/mux.sock" --root "$dir/root" --paired \
    --log "$dir/emulator.log" &
  emulator_pid=$!
  # The control socket is made after the usbmuxd socket listens.
  for _ in $(seq 100); do
    [ -S "$dir/mux.sock.control" ] && break
    sleep 0.1
  done
  [ -S "$dir/mux.sock.control" ] || fail "afclink-fakedevice did not start: $(cat "$dir/emulator.log")"

  coproc APP {
    HOME="$dir/home" USBMUXD_SOCKET_ADDRESS="UNIX:$dir/mux.sock" \
      exec /usr/bin/afclink 2>"$dir/afclink.stderr"
  }
  app_pid=$APP_PID
  ask() {
    printf '%s\n' "$1" >&"${APP[1]}"
    IFS= read -r -t 20 reply <&"${APP[0]}" || fail "no reply to '$1'"
  }
  ask connect
  [ "$reply" = ok ] || fail "connect answered '$reply'"
  for _ in $(seq 200); do
    ask status
    [ "$reply" = connected ] && break
    sleep 0.1
  done
  [ "$reply" = connected ] || fail "status stayed '$reply': $(tail -5 "$dir/emulator.log")"
  ask "getDB $dir/db"
  [ "$reply" = ok ] || fail "getDB answered '$reply'"
  cmp -s "$dir/db" "$dir/root/iTunes_Control/iTunes/iTunesDB" || fail "getDB's copy differs"
  ask quit
  [ "$reply" = ok ] || fail "quit answered '$reply'"
  local rc=0
  wait "$app_pid" || rc=$?
  app_pid=
  [ "$rc" = 0 ] || fail "afclink exited with status $rc after quit"
  [ ! -s "$dir/afclink.stderr" ] || fail "afclink wrote on stderr: $(cat "$dir/afclink.stderr")"
  kill "$emulator_pid"
  wait "$emulator_pid" || fail "afclink-fakedevice exited with status $? on SIGTERM"
  emulator_pid=
  say "ok: /usr/bin/afclink fetched a database from /usr/bin/afclink-fakedevice over TLS"
}

# man finds and formats the page without warnings. When dpkg was told to
# leave /usr/share/man out (container images often are), the page is read
# from the package instead.
man_page_reads() {
  local deb=$1 page=$2 version=$3 file=/usr/share/man/man1/$2.1.gz out rule
  if [ -e "$file" ]; then
    out=$(LC_ALL=C.UTF-8 MANPAGER=cat MANWIDTH=80 man "$page" 2>&1) || fail "man $page: $out"
  else
    rule=$(grep -rhs '^path-exclude.*/usr/share/man' /etc/dpkg/dpkg.cfg.d/ | head -1 || true)
    [ -n "$rule" ] || fail "$file is not installed, and no dpkg path-exclude rule explains it"
    say "note: dpkg leaves out $file here ('$rule'); reading it from the package"
    dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ".$file" >"$work/$page.1.gz"
    file=$work/$page.1.gz
    out=$(LC_ALL=C.UTF-8 MANPAGER=cat MANWIDTH=80 man -l "$file" 2>&1) || fail "man -l $file: $out"
  fi
  [[ "$out" == "${page^^}(1)"* ]] || fail "man $page shows another page: $(head -1 <<<"$out")"
  grep -q "afclink $version " <<<"$out" || fail "man $page does not carry version $version"
  LC_ALL=C.UTF-8 man --warnings -l "$file" 2>"$work/man.warnings" >/dev/null || true
  [ ! -s "$work/man.warnings" ] || fail "man $page: $(cat "$work/man.warnings")"
  say "ok: man $page"
}

# ---- 1. make install into a staging folder ---------------------------------
stage=$work/stage
quietly make-install make install DESTDIR="$stage" PREFIX=/usr
same_files "make install DESTDIR=... PREFIX=/usr" "$(cd "$stage" && find . ! -type d | sed 's|^\.||')"
say "ok: make install staged the expected files"
answers_status_and_quit "$stage/usr/bin/afclink"
launcher_runs "$stage/usr/bin/afclink-fakedevice" "$stage/usr/share/afclink"

# ---- 2. the Debian package -------------------------------------------------
quietly make-package make package
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$work/make-package.log" | tail -1)
[ -f "$deb" ] || fail "make package named no .deb"
depends=$(dpkg-deb -f "$deb" Depends)
version=$(dpkg-deb -f "$deb" Version)
say "package: $deb, version $version"
say "Depends: $depends"
for needed in python3 libimobiledevice libplist libusbmuxd zlib1g libsqlite3; do
  [[ "$depends" == *"$needed"* ]] || fail "Depends lacks $needed"
done
# Each device library is declared by the name this release packages it
# under (the names carry the library's generation), the very package that
# holds the copy afclink was linked with.
for library in libimobiledevice libplist libusbmuxd libsqlite3; do
  linked=$(ldd build/afclink | awk -v lib="$library" '$1 ~ "^" lib "(-[0-9]|[.]so)" { print $3 }') || true
  [ -n "$linked" ] || fail "build/afclink links no $library"
  # dpkg knows the file by the name it unpacked, /lib or /usr/lib.
  owner=
  for path in "$linked" "$(readlink -f "$linked")"; do
    owner=$(dpkg -S "$path" 2>/dev/null | awk -F: 'NR == 1 { print $1 }') || true
    [ -z "$owner" ] || break
  done
  [ -n "$owner" ] || fail "no package holds $linked"
  [[ ", $depends," == *", $owner "* || ", $depends," == *", $owner,"* ]] ||
    fail "Depends names no $owner (the package of $linked)"
done
say "ok: Depends names this release's library packages"
same_files "$deb" "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\.||')"
say "ok: the package holds the expected files"

installed_by_us=1
quietly dpkg-install "${as_root[@]}" dpkg -i "$deb"
say "ok: dpkg -i"
answers_status_and_quit /usr/bin/afclink
launcher_runs /usr/bin/afclink-fakedevice /usr/share/afclink
fetches_from_installed_emulator
if command -v man >/dev/null 2>&1; then
  man_page_reads "$deb" afclink "${version%-*}"
  man_page_reads "$deb" afclink-fakedevice "${version%-*}"
else
  say "note: man is not installed (scripts/install-deps.sh package adds man-db): pages not read"
fi

# ---- 3. removal ------------------------------------------------------------
quietly dpkg-remove "${as_root[@]}" dpkg -r afclink
installed_by_us=0
for left in /usr/bin/afclink /usr/bin/afclink-fakedevice /usr/share/afclink \
  /usr/share/man/man1/afclink.1.gz /usr/share/man/man1/afclink-fakedevice.1.gz; do
  [ ! -e "$left" ] || fail "dpkg -r left $left behind"
done
say "ok: dpkg -r afclink removed everything"
say "passed in $((SECONDS - started)) s"
