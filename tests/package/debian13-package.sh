#!/usr/bin/env bash
# The Debian 13 package as a user of Debian 13 gets it: built in the Debian 13 root against that
# release's own libraries (CPack, as for Debian 12), checked by lintian there, installed with apt,
# and the agent from it raising a window on KWin 6 and on GNOME Shell 48.
#
#   tests/package/debian13-package.sh SOURCE_DIR BUILD_DIR   (BUILD_DIR: this system's build, for the tests)
set -euo pipefail
source=$(realpath "$1") build=$(realpath "$2")
in_root="$source/scripts/in-debian13-root"
out="$build/debian13"
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf --one-file-system "$out" && mkdir -p "$out"
"$in_root" --share "$source" --share "$out" -- sh -euc '
  cmake -S "$1" -B "$2/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOLIN_BUILD_TESTS=OFF \
    -DTARVOLIN_BUILD_BENCH=OFF >"$2/configure.log"
  cmake --build "$2/build" >"$2/build.log"
  cd "$2/build" && cpack -G DEB >"$2/cpack.log"
' sh "$source" "$out" || { tail -n 30 "$out"/*.log; fail "the build in the Debian 13 root"; }
deb=$(echo "$out"/build/tarvolin_*.deb)
[ -f "$deb" ] || fail "no package in $out/build"
"$in_root" --share "$out" -- lintian --fail-on error,warning "$deb" || fail "lintian reports an error or a warning"
# Built against Debian 13's libplist (Debian 12's .so.3 is not there).
dpkg-deb -f "$deb" Depends | grep -q 'libplist-2.0-4' || fail "Depends: $(dpkg-deb -f "$deb" Depends)"
"$in_root" --upper "$out/installed" --share "$out" -- sh -c \
  'DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$1" >/dev/null' sh "$deb" ||
  fail "apt did not install $deb"

# The agent from the package, run in the root with it installed; the desktop's files are under /tmp.
cat >"$out/agent" <<AGENT
#!/bin/sh
exec "$in_root" --layer "$out/installed" --upper "$out/run-\$\$" --share /tmp -- /usr/bin/tarvolin-agent "\$@"
AGENT
chmod +x "$out/agent"
export TARVOLIN_DEBIAN13_ROOT="$out/installed:$("$source/scripts/debian13-root")"
export TARVOLIN_TEST_AGENT="$out/agent" TARVOLIN_TEST_PACKAGED=1
"$build/tests/kde/tarvolin_kde_tests" --gtest_brief=1 --gtest_filter='*RaiseCloseAndQuit*' ||
  fail "the packaged agent on KWin 6"
"$build/tests/gnome/tarvolin_gnome_tests" --gtest_brief=1 --gtest_filter='*RaiseCloseAndQuit*' ||
  fail "the packaged agent on GNOME Shell 48"
echo "debian13 package: $(basename "$deb") built, lintian clean, installed, raising on KWin 6 and GNOME 48"
