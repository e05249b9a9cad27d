#!/bin/sh
# What ./test.sh needs: everything of setup-main.sh, the packages that the
# tests use, and the whole build, test programs included.  Safe to run again.
. "$(dirname "$0")/setup-common.sh"

# What only the tests use: GoogleTest, and the tools and FUSE drivers that
# make and mount the filesystems the Linux machine is tested on (FAT, exFAT,
# ext4 with a label and UUID, btrfs with subvolumes).
TEST_PACKAGES="
  libgtest-dev
  util-linux
  mount
  coreutils
  dosfstools
  exfatprogs
  fuse3
  fusefat
  exfat-fuse
  btrfs-progs
  e2fsprogs
"

# The main command's record of its last build stands no longer: this build
# may be for another Python.
rm -f build/.module-built
ensure_packages $MAIN_PACKAGES $TEST_PACKAGES
ensure_python2
configure
build "the module and the tests"
