#!/usr/bin/env bash
# Prepares the runtime that executes our 32-bit Windows programs on this
# 64-bit Linux machine, whose kernel cannot run 32-bit code itself:
#
#   - a Debian 13 (trixie) root, made once with debootstrap, holding the
#     statically linked qemu-i386 (qemu-user 10) and Wine's 32-bit build
#     (wine32:i386), with a 32-bit Wine prefix already booted;
#   - the kernel's binfmt_misc told to run 32-bit x86 ELF programs with that
#     qemu-i386 (flag F: the interpreter is opened now, so it also works
#     inside the root).
#
# The root is cached in ORV_WIN32_ROOT (default /var/cache/orv-win32/trixie)
# and reused by every later run; only the binfmt_misc entry, which a reboot
# clears, is made again. Delete the folder to build it anew.
# tools/win32_run.sh runs a program in it.
#
# Never fails the caller: when something cannot be done it says what and why
# and exits 2 (0 when the runtime is ready). Needs root, a kernel with
# binfmt_misc and the Debian mirror; takes about 3 minutes the first time and
# well under a second after that.
set -uo pipefail

root=${ORV_WIN32_ROOT:-/var/cache/orv-win32/trixie}
mirror=${ORV_DEBIAN_MIRROR:-http://deb.debian.org/debian}
readonly binfmt=/proc/sys/fs/binfmt_misc
readonly entry_name=orv-qemu-i386
# Bumped when the root's contents change, so that an old cache is rebuilt.
readonly root_version=1

say() { echo "win32 runtime: $*"; }
cannot() {
  say "NOT READY: $*"
  say "the 32-bit Windows tests will fail (ORV_SKIP_WIN32=1 skips them on purpose)"
  exit 2
}

if [[ $(id -u) -ne 0 ]]; then
  cannot "needs root (debootstrap, chroot, mount and binfmt_misc); run tools/setup.sh as root"
fi

# Runs a command inside the root with /proc and /dev, in a mount namespace of
# its own that vanishes with it, for at most $1 seconds.
in_root() {
  local limit=$1
  shift
  timeout "$limit" unshare --mount --propagation private -- sh -c '
    r=$1; shift
    mount -t proc proc "$r/proc" && mount --rbind /dev "$r/dev" &&
      exec chroot "$r" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"' sh "$root" "$@"
}

# tools/win32_run.sh leaves /proc and the project trees mounted inside the
# root. They go before the root is deleted: rm -rf would reach through them.
release_mounts() {
  local target
  while IFS= read -r target; do
    umount -l "$target" || cannot "cannot unmount $target; not deleting $root"
  done < <(findmnt -rn -o TARGET | grep -F "$root/" | sort -r)
  if findmnt -rn -o TARGET | grep -qF "$root/"; then
    cannot "something is still mounted inside $root; not deleting it"
  fi
}

build_root() {
  local work=$root.partial
  command -v debootstrap >/dev/null || cannot "debootstrap is missing (apt-get install debootstrap)"
  rm -rf "$work"
  mkdir -p "$(dirname "$root")"
  say "creating the Debian 13 root in $root (once, about 3 minutes)"
  if ! timeout 900 debootstrap --variant=minbase trixie "$work" "$mirror" >"$work.log" 2>&1; then
    tail -n 5 "$work.log"
    cannot "debootstrap of trixie from $mirror failed (no network or mirror?); log: $work.log"
  fi
  # Until the root's own qemu is registered, its i386 packages' scripts
  # cannot run 32-bit programs; none of them needs to.
  local old=$root
  root=$work
  if ! in_root 1200 sh -c '
      dpkg --add-architecture i386 &&
      apt-get update -qq &&
      apt-get install -y -qq --no-install-recommends qemu-user wine wine32:i386 &&
      apt-get clean' >>"$work.log" 2>&1; then
    root=$old
    tail -n 5 "$work.log"
    cannot "installing qemu-user and wine32:i386 in the root failed; log: $work.log"
  fi
  root=$old
  release_mounts
  [[ -x $work/usr/bin/qemu-i386 ]] || cannot "the root has no /usr/bin/qemu-i386"
  file_out=$(LC_ALL=C od -An -c -N4 "$work/usr/bin/qemu-i386" | tr -d ' ')
  [[ $file_out == 177ELF ]] || cannot "$work/usr/bin/qemu-i386 is not an ELF program"
  rm -rf "$root"
  mv "$work" "$root"
  mv "$work.log" "$root.log"
}

register_binfmt() {
  if [[ ! -e $binfmt/register ]]; then
    modprobe binfmt_misc 2>/dev/null || true
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
      cannot "binfmt_misc is not available (mount -t binfmt_misc failed: not allowed in this container?)"
  fi
  local interp=$root/usr/bin/qemu-i386
  if [[ -f $binfmt/$entry_name ]]; then
    if grep -qx enabled "$binfmt/$entry_name" && grep -qx "interpreter $interp" "$binfmt/$entry_name"; then
      return 0
    fi
    echo -1 >"$binfmt/$entry_name"
  fi
  # 32-bit little-endian x86 ELF executables and shared objects (e_machine 3).
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":$entry_name:M::$magic:$mask:$interp:F" >"$binfmt/register" 2>/dev/null ||
    cannot "could not register $interp in binfmt_misc"
}

boot_prefix() {
  [[ -f $root/opt/orv/prefix/.orv-booted ]] && return 0
  say "creating the 32-bit Wine prefix (once)"
  mkdir -p "$root/opt/orv"
  if ! in_root 600 env WINEPREFIX=/opt/orv/prefix WINEARCH=win32 WINEDEBUG=-all \
      WINEDLLOVERRIDES=mscoree,mshtml= sh -c 'wineboot -i && wineserver -w' \
      >"$root/opt/orv/boot.log" 2>&1; then
    tail -n 5 "$root/opt/orv/boot.log"
    cannot "wineboot in the root failed; log: $root/opt/orv/boot.log"
  fi
  touch "$root/opt/orv/prefix/.orv-booted"
}

if [[ $(cat "$root/.orv-root-version" 2>/dev/null) != "$root_version" ]]; then
  build_root
  echo "$root_version" >"$root/.orv-root-version"
  # An entry made for the old root still holds the old qemu-i386 open.
  [[ -f $binfmt/$entry_name ]] && echo -1 >"$binfmt/$entry_name"
fi
register_binfmt
boot_prefix
say "ready in $root"
