#!/bin/sh
# Installs the Debian packages named as arguments that are not installed
# yet; nothing when all are.
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
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
