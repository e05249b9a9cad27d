#!/bin/sh
# Installs what the Linux machine's tests mount, where it is missing:
# btrfs-progs for btrfs subvolumes, e2fsprogs for ext4 images with a label and
# UUID, and setpriv (util-linux) for the unprivileged runs.  Safe to run again.
set -eu
[ "$(uname -s)" = Linux ] || exit 0

packages="btrfs-progs e2fsprogs util-linux"
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
    missing="$missing $package"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing" >&2
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
fi
