#!/usr/bin/env bash
# Runs one 32-bit Windows program of ours under 32-bit Wine, in the runtime
# that tools/setup.sh prepares (tools/setup_win32.sh: a Debian 13 root with
# Wine's 32-bit build and a static qemu-i386 that runs 32-bit x86 code).
#
#   tools/win32_run.sh PROGRAM.exe [ARGS...]
#   tools/win32_run.sh SCRIPT.cmd [ARGS...]     as "wine cmd /c SCRIPT.cmd ARGS..."
#
# The program runs with its own folder as the working folder, and its exit
# status is this script's. Inside the root the project tree (and the
# program's folder, when it lies outside the tree) is mounted at the same
# path, so Unix paths in arguments work unchanged; Wine maps them through
# drive Z:. Environment variables named ORV_*, GTEST_* and WINEDEBUG pass
# through to the program. Exit status 125 when the runtime is not ready.
#
# The mounts stay in place for later runs (a reboot clears them), since
# Wine's server, which outlives a program by 30 s and serves the next one,
# opens files by path. tools/setup_win32.sh removes them before it ever
# deletes the root.
set -euo pipefail

readonly root=${ORV_WIN32_ROOT:-/var/cache/orv-win32/trixie}
readonly prefix=/opt/orv/prefix
tools_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
readonly tools_dir
tree=$(dirname "$tools_dir")
readonly tree

fail() {
  echo "win32_run: $*" >&2
  exit 125
}

(($#)) || fail "usage: tools/win32_run.sh PROGRAM.exe|SCRIPT.cmd [ARGS...]"
[[ -f $1 ]] || fail "no such program: $1"
program=$(realpath "$1")
shift
folder=$(dirname "$program")

[[ $(id -u) -eq 0 ]] || fail "needs root (chroot and mount)"
if [[ ! -f $root/opt/orv/prefix/.orv-booted ]]; then
  fail "the 32-bit Windows runtime is not set up in $root: run tools/setup.sh (as root)"
fi
# A reboot clears binfmt_misc; the set-up script registers qemu again at once.
if ! grep -qsx enabled /proc/sys/fs/binfmt_misc/orv-qemu-i386; then
  "$tools_dir/setup_win32.sh" >&2 || fail "could not make 32-bit programs runnable"
fi

# Mounts source at the same path inside the root, unless already there. A
# mount left by an earlier run may show a folder since deleted and made anew
# at the same path (a fresh clone, a rebuilt worktree): it is replaced when it
# is not the very folder (device and inode) that source names now.
bind_into_root() {
  local source=$1 target=$root$1
  if mountpoint -q "$target"; then
    [[ $(stat -c %d:%i "$target") == $(stat -L -c %d:%i "$source") ]] && return 0
    umount -l "$target"
  fi
  mkdir -p "$target"
  mount --bind "$source" "$target"
}

# Under a lock, since tests run in parallel: the mounts, then a wineserver
# that outlives the program by 30 s so that the next program starts warm,
# with Wine's background programs started by a throw-away program. Started by
# the program itself they would inherit its output and hold it open, and
# CTest waits for that pipe. The lock's descriptor is closed for them too.
run_in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    WINEPREFIX=$prefix WINEARCH=win32 WINEDLLOVERRIDES=mscoree,mshtml= \
    WINEDEBUG="${WINEDEBUG:--all}" "${passed_env[@]}" "$@"
}
passed_env=()
while IFS= read -r name; do
  passed_env+=("$name=${!name}")
done < <(compgen -e | grep -E '^(ORV_|GTEST_)' || true)

exec 9>"$root/opt/orv/start.lock"
flock 9
mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
for node in null zero full random urandom tty; do
  [[ -e $root/dev/$node ]] || fail "$root/dev/$node is missing"
done
bind_into_root "$tree"
case $folder/ in
  "$tree"/*) ;;
  *) bind_into_root "$folder" ;;
esac
if run_in_root wineserver -p30 </dev/null >/dev/null 2>&1 9>&-; then
  run_in_root wine cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
fi
flock -u 9
exec 9>&-

case ${program,,} in
  # A batch file runs in Wine's cmd.exe, named as a user in its folder would.
  *.cmd | *.bat) run_in_root sh -c 'cd "$1" && shift && exec wine cmd /c "$@"' sh "$folder" \
    "$(basename "$program")" "$@" ;;
  *) run_in_root sh -c 'cd "$1" && shift && exec wine "$@"' sh "$folder" "$program" "$@" ;;
esac
