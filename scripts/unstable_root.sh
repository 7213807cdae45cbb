#!/usr/bin/env bash
# A Debian unstable root beside this Debian 12 machine, for the interpreters the machine
# does not package: CPython 3.14 and 3.15 (release and debug builds), g++ of that release,
# and Debian's Boost.Python for both (the only one there is for 3.15).
#
#   scripts/unstable_root.sh ensure          make the root, or reuse it while it exists
#   scripts/unstable_root.sh run CMD [ARG..] run CMD in the root, in a fresh copy of this
#                                            checkout (/work/orvcpp), with /proc mounted
#   scripts/unstable_root.sh remove          unmount and delete the root
#
# The root lives in $ORV_UNSTABLE_ROOT (default ~/.cache/orvcpp/debian-unstable). Only
# /proc is ever mounted into it, for the length of one command: /dev is not bound (the
# device nodes debootstrap creates serve), so deleting the root can never reach the
# machine's own devices. Needs root (debootstrap, chroot, mount).
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
source scripts/lib/debian_packages.sh

target="${ORV_UNSTABLE_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/orvcpp/debian-unstable}"
packages=(python3.14-dev python3.14-venv python3.14-dbg python3.15-dev python3.15-venv
  python3.15-dbg g++ cmake make libboost-python1.92-dev git ca-certificates unzip valgrind)
# What the root holds, written once it is complete; a root without it (an interrupted
# set-up) is made again.
ready="$target/.orv-ready"
ready_text="$(printf '%s\n' "${packages[@]}")"

say() { echo "unstable-root: $*" >&2; }

if [ "$(id -u)" -ne 0 ]; then
  say "needs root (debootstrap, chroot and mount)"
  exit 1
fi

# The Debian mirror this machine's apt uses.
mirror() {
  local uri
  uri="$(grep -hE '^(URIs:|deb )' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null |
    grep -oE 'https?://[^ ]*/debian/?' | head -n 1 || true)"
  echo "${uri:-http://deb.debian.org/debian}"
}

mount_proc() {
  mountpoint -q "$target/proc" || mount -t proc proc "$target/proc"
}
unmount_all() {
  local point
  for point in "$target/proc" "$target/dev"; do
    if mountpoint -q "$point" 2>/dev/null; then umount -l "$point"; fi
  done
}

in_root() {
  chroot "$target" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    ${ORV_RELIABILITY_SCALE:+ORV_RELIABILITY_SCALE=$ORV_RELIABILITY_SCALE} "$@"
}

# The machine's network settings, which apt's step rewrites the certificates of.
copy_network_settings() {
  cp /etc/resolv.conf "$target/etc/resolv.conf"
  [ -f /etc/pip.conf ] && cp /etc/pip.conf "$target/etc/pip.conf"
  if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    mkdir -p "$target/etc/ssl/certs"
    cp /etc/ssl/certs/ca-certificates.crt "$target/etc/ssl/certs/ca-certificates.crt"
  fi
}

ensure() {
  if [ "$(cat "$ready" 2>/dev/null)" = "$ready_text" ]; then
    copy_network_settings
    return 0
  fi
  need_debian_packages debootstrap
  local started=$SECONDS
  if [ ! -x "$target/usr/bin/apt-get" ] || [ -e "$target/debootstrap" ]; then
    # Nothing usable yet, or a debootstrap that did not finish: start over.
    remove_root
    mkdir -p "$(dirname "$target")"
    say "debootstrap sid into $target from $(mirror) (a few minutes)"
    debootstrap --variant=minbase sid "$target" "$(mirror)" >"$target.log" 2>&1 || {
      say "debootstrap failed, see $target.log"
      exit 1
    }
  fi
  mkdir -p "$target/dev/shm"
  chmod 1777 "$target/dev/shm"
  copy_network_settings
  mount_proc
  trap unmount_all EXIT
  say "installing ${packages[*]}"
  # The mirror's unstable snapshot may carry an expired Release date.
  in_root apt-get -qq -o Acquire::Check-Valid-Until=false update >>"$target.log" 2>&1 &&
    DEBIAN_FRONTEND=noninteractive in_root apt-get install -y -qq --no-install-recommends \
      "${packages[@]}" >>"$target.log" 2>&1 && in_root apt-get clean || {
    say "apt-get in the root failed, see $target.log"
    exit 1
  }
  unmount_all
  trap - EXIT
  copy_network_settings
  echo "$ready_text" >"$ready"
  say "ready in $((SECONDS - started))s"
}

remove_root() {
  [ -e "$target" ] || return 0
  unmount_all
  if mountpoint -q "$target/proc" 2>/dev/null || mountpoint -q "$target/dev" 2>/dev/null; then
    say "$target still has mounts; not deleting"
    exit 1
  fi
  rm -rf --one-file-system "$target"
}

run() {
  mkdir -p "$(dirname "$target")"
  exec {lock}>"$target.lock"
  flock "$lock"
  ensure
  # A fresh copy of the checkout, without its builds and environments.
  rm -rf --one-file-system "$target/work/orvcpp"
  mkdir -p "$target/work/orvcpp"
  tar -C "$repo" --exclude=./build --exclude=./.venv --exclude=./.git --exclude='./.ci-*' \
    -cf - . | tar -C "$target/work/orvcpp" -xf -
  mount_proc
  trap unmount_all EXIT
  local status=0
  in_root /bin/sh -c 'cd /work/orvcpp && exec "$@"' sh "$@" || status=$?
  unmount_all
  trap - EXIT
  return "$status"
}

case "${1:-}" in
  ensure) ensure ;;
  run)
    shift
    (($#)) || { say "run: no command given"; exit 2; }
    run "$@"
    ;;
  remove) remove_root ;;
  *)
    echo "usage: scripts/unstable_root.sh ensure | run CMD [ARG...] | remove" >&2
    exit 2
    ;;
esac
