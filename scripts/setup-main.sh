#!/bin/sh
# What ./run.sh needs: installs the packages that the module's build uses,
# where they are missing, and builds the module and its host stand-ins in
# build/.  Does nothing, quickly, when nothing changed.
. "$(dirname "$0")/setup-common.sh"

# The quick way out, which asks neither dpkg nor CMake: the module was built
# for this Python, and no file of the checkout that the build reads is newer
# than that build.  Anything else takes the careful way, whose steps each
# check for themselves.
stamp=build/.module-built
if [ -f "$stamp" ] && [ -f build/python/windows/volumes.so ] &&
   read -r built_for <"$stamp" && [ "$built_for" = "$PYTHON2_ROOT" ] &&
   [ -z "$(find . \( -path ./build -o -path ./.git -o -path ./tools \
                     -o -path ./tests -o -path ./bench -o -path ./examples \) \
                  -prune -o -newer "$stamp" ! -name '*.pyc' -print -quit)" ]
then
  exit 0
fi

# Stamped before the build starts, so that an edit made during it counts.
mkdir -p build
new_stamp=$(mktemp build/.module-built.XXXXXX)
trap 'rm -f "$new_stamp"' EXIT
echo "$PYTHON2_ROOT" >"$new_stamp"
ensure_packages $MAIN_PACKAGES
ensure_python2
configure
build "the module" volumes winwrap_native host_python
mv "$new_stamp" "$stamp"
