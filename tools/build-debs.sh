#!/usr/bin/env bash
# Builds the Debian packages from debian/ into build/debs/, their debug
# symbols into build/debs/dbgsym/, and checks them with lintian. The build
# runs in a copy of the tree, since dpkg-buildpackage writes its packages
# beside the source folder. DEB_BUILD_OPTIONS=nocheck skips the tests (and
# the packages they need).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
groups=(deb tests) profile=""
# The test packages are build dependencies only without the nocheck profile.
if [[ " ${DEB_BUILD_OPTIONS:-} " == *" nocheck "* ]]; then
  groups=(deb) profile=-Pnocheck
fi
tools/install-deps.sh "${groups[@]}"

out=$PWD/build/debs
rm -rf "$out"
mkdir -p "$out/src"
tar -c --exclude=./build --exclude=./.git . | tar -x -C "$out/src"
step build/logs/debs.log "building the packages" bash -c "cd '$out/src' && dpkg-buildpackage -us -uc -b $profile"
rm -rf "$out/src"
echo "lintian (errors and warnings fail this script):"
status=0
lintian --info --fail-on error,warning "$out"/*.changes || status=$?
# The debug symbols go apart (lintian finds them only beside the .changes
# file), so that apt install ./build/debs/*.deb installs the five packages.
mkdir "$out/dbgsym"
mv "$out"/*-dbgsym_*.deb "$out/dbgsym/"
ls -l "$out"/*.deb "$out"/dbgsym/*.deb
exit $status
