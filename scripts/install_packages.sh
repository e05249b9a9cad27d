#!/bin/sh
# Installs the Debian packages named as arguments that are not installed yet.
#   scripts/install_packages.sh PACKAGE ...
set -eu
missing=""
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
    missing="$missing $package"
done
[ -n "$missing" ] || exit 0
echo "Installing:$missing" >&2
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
# Another apt-get may hold the lock on a shared machine: wait for it.
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 \
  install -y -qq $missing >/dev/null
