#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Debian 13 ("trixie") on a Debian 12 machine: makes a Debian 13 root file
# system with mmdebstrap from Debian's archive, holding what setup.sh installs
# there (cached, keyed by that package list), and works in it without touching
# the host's configuration: in a mount namespace of its own, an overlay over
# the cached root (which stays clean) with this checkout bound at its own path.
#
#   bash scripts/debian13.sh                 builds the project there into
#                                            build-debian13/ and runs its tests
#                                            (release build), GIMP 3's included
#   bash scripts/debian13.sh --run COMMAND   runs COMMAND with bash in the root,
#                                            in the checkout's folder
#
# MATCHENGINE_DEBIAN13_CACHE  where the root is kept (default ~/.cache/matchengine-debian13)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${MATCHENGINE_DEBIAN13_CACHE:-$HOME/.cache/matchengine-debian13}"
command=""
case "${1:-}" in
  "") ;;
  --run) [ $# -ge 2 ] || { echo "debian13.sh: --run needs a command" >&2; exit 64; }; command="$2" ;;
  -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "debian13.sh: unknown option $1 (see --help)" >&2; exit 64 ;;
esac
started=$SECONDS
say() { printf '== [debian13 %4ss] %s\n' "$((SECONDS - started))" "$*"; }
[ "$(id -u)" -eq 0 ] || { echo "debian13.sh: mounting the root needs root (run it with sudo)" >&2; exit 77; }

source "$root/scripts/packages.sh"
installMissingPackages mmdebstrap util-linux
projectPackages trixie
mkdir -p "$cache"

# ---------------------------------------------------------------- the root
key="$(printf '%s\n' "${packages[@]}" mmdebstrap-apt-variant | sha256sum | cut -c1-16)"
tree="$cache/root-$key"
# Runs share the root (each has an overlay of its own); it is made under an
# exclusive lock.
exec 9>"$cache/.lock"
flock -s 9
if [ ! -e "$tree/.complete" ]; then
  flock 9
fi
if [ ! -e "$tree/.complete" ]; then
  # Roots of other package lists may still serve another checkout's runs; only
  # those unused for two days go (each run touches its root's mark).
  for old in "$cache"/root-*; do
    [ "$old" != "$tree" ] && [ "$old" != "$tree.tar" ] || continue
    [ -n "$(find "$old" -maxdepth 1 -name .complete -mtime -2 2>/dev/null)" ] || rm -rf "$old"
  done
  rm -rf "$tree" "$tree.tar"
  say "making a Debian 13 root with ${#packages[@]} packages and what they need (once; some 600 MB to download)"
  mirror=http://deb.debian.org
  mmdebstrap --quiet --variant=apt --aptopt='Acquire::Retries "3"' \
    --include="$(IFS=,; echo "${packages[*]}")" trixie "$tree.tar" \
    "deb $mirror/debian trixie main" "deb $mirror/debian trixie-updates main" \
    "deb $mirror/debian-security trixie-security main" </dev/null
  mkdir -p "$tree"
  tar -C "$tree" -xf "$tree.tar"
  rm -f "$tree.tar"
  touch "$tree/.complete"
  say "root ready"
fi
flock -s 9
touch "$tree/.complete"

# ---------------------------------------------------------------- working in it
if [ -z "$command" ]; then
  # setup.sh finds every package present, configures and builds; then the
  # release tests.
  command='MATCHENGINE_BUILD_DIR="$PWD/build-debian13" bash scripts/setup.sh && cd build-debian13 && ctest --output-on-failure --parallel "$(nproc)"'
fi
run="$(mktemp -d "$cache/run-XXXXXX")"
trap 'rm -rf "$run"' EXIT
mkdir -p "$run/upper" "$run/work" "$run/merged"
# The namespace's mounts end with it: nothing is left mounted on the host.
inside='
tree="$1" run="$2" checkout="$3" command="$4"
merged="$run/merged"
mount -t overlay overlay -o "lowerdir=$tree,upperdir=$run/upper,workdir=$run/work" "$merged"
mount -t proc proc "$merged/proc"
mount --rbind /sys "$merged/sys"
mount --rbind /dev "$merged/dev"
mount -t tmpfs tmpfs "$merged/tmp"
mkdir -p "$merged$checkout"
mount --bind "$checkout" "$merged$checkout"
cp /etc/resolv.conf "$merged/etc/resolv.conf"
exec chroot "$merged" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin LANG=C.UTF-8 \
  TERM="${TERM:-dumb}" CI="${CI:-}" bash -c "cd \"\$1\" && $command" debian13 "$checkout"
'
unshare --mount --propagation private bash -euo pipefail -c "$inside" inside "$tree" "$run" "$root" "$command"
