#!/bin/sh
# What ./run.sh needs: installs the packages that the module's build uses,
# where they are missing, and builds the module and its host stand-ins in
# build/.  Does nothing, quickly, when nothing changed.
. "$(dirname "$0")/setup-common.sh"

ensure_packages $MAIN_PACKAGES
ensure_python2
configure
build "the module" volumes winwrap_native host_python
