#!/usr/bin/env bash
# Builds the Debian packages from debian/ into build/debs/ and checks them
# with lintian. The build runs in a copy of the tree, since dpkg-buildpackage
# writes its packages beside the source folder. DEB_BUILD_OPTIONS=nocheck
# skips the tests (and the packages they need).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
groups=(deb tests)
[[ " ${DEB_BUILD_OPTIONS:-} " == *" nocheck "* ]] && groups=(deb)
tools/install-deps.sh "${groups[@]}"

out=$PWD/build/debs
rm -rf "$out"
mkdir -p "$out/src"
tar -c --exclude=./build --exclude=./.git . | tar -x -C "$out/src"
step build/logs/debs.log "building the packages" bash -c "cd '$out/src' && dpkg-buildpackage -us -uc -b"
rm -rf "$out/src"
ls -l "$out"/*.deb
echo "lintian (errors and warnings fail this script):"
lintian --info --fail-on error,warning "$out"/*.changes
