#!/usr/bin/env bash
# The second Win32: runs the whole Windows suite under Debian 13's Wine 10,
# which stretches a DPI-unaware window as Windows does at 125-200 %, in a
# Debian 13 root on this machine. The root is made once with debootstrap from
# the Debian archive this machine's apt already uses, and kept for later runs
# (LEGALNOTICE_DEBIAN13_ROOT, by default /var/cache/legalnotice/debian-13);
# scripts/install-deps.sh installs what it needs there. A copy of this tree,
# local changes included, runs the suite at 100 %, then the end-to-end tests
# again at 150 % (LogPixels 144). Needs root, or sudo.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || exec sudo -- "$0" "$@"
root=${LEGALNOTICE_DEBIAN13_ROOT:-/var/cache/legalnotice/debian-13}

if [ ! -x "$root/usr/bin/apt-get" ]; then
  command -v debootstrap >/dev/null || { apt-get update -q && apt-get install -y -q debootstrap; } >/dev/null
  archive() { apt-get indextargets --format '$(REPO_URI) $(LABEL)' | awk '$2 == "Debian" { print $1; exit }'; }
  mirror=$(archive)
  [ -n "$mirror" ] || { apt-get update -q >/dev/null && mirror=$(archive); }
  [ -n "$mirror" ] || { echo "no Debian archive in this machine's apt sources" >&2; exit 1; }
  echo "making a Debian 13 root in $root from $mirror"
  rm -rf "$root.new" && mkdir -p "$root.new"
  debootstrap --variant=minbase trixie "$root.new" "$mirror" >"$root.log" 2>&1 || {
    tail -n 20 "$root.log" >&2
    exit 1
  }
  mv "$root.new" "$root"
fi

# The tree as it is, without its builds, in place of the last run's copy.
copy=$root/work/legalnotice
rm -rf "$copy" && mkdir -p "$copy"
tar -C "$repo" --exclude=./build -cf - . | tar -C "$copy" -xf -

# Inside a mount namespace of its own, the mounts Wine needs go when the run
# ends, however it ends.
exec unshare --mount --propagation private bash -c '
  set -euo pipefail
  root=$1
  for dir in dev dev/pts proc; do mount --bind "/$dir" "$root/$dir"; done
  mount -t tmpfs tmpfs "$root/dev/shm"
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
    chroot "$root" bash -c "
      set -euo pipefail
      cd /work/legalnotice
      scripts/install-deps.sh
      echo \"Wine \$(/usr/lib/wine/wine64 --version) in Debian \$(cat /etc/debian_version), at 100 %\"
      cmake --workflow --preset windows
      echo \"the end-to-end tests again at 150 %, where Wine stretches the exe\"
      LEGALNOTICE_WINE_DPI=144 ctest --preset windows -L e2e
    "
' bash "$root"
