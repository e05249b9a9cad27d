#!/bin/sh
# install_packages.sh [--no-install-recommends] PACKAGE...
#
# Installs those of the Debian packages that are missing, with apt-get.
set -eu
options=""
if [ "${1:-}" = "--no-install-recommends" ]; then
  options=$1
  shift
fi
missing=""
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
    missing="$missing $package"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing" >&2
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $options $missing >/dev/null
fi
