#!/bin/sh
# Asks the plugin for the platform version under each Windows version Wine can pretend to be.
# Switching the version changes the whole prefix, so this runs in a prefix of its own and the
# tests sharing the build tree's main prefix never see it.
#
# usage: platform_versions.sh PREFIX HOST_TEST_EXE
set -u

if [ $# -ne 2 ]; then
  echo "usage: $0 PREFIX HOST_TEST_EXE" >&2
  exit 2
fi

WINEPREFIX=$1
host=$2
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# Leave no wine process behind, however the script ends.
trap 'wineserver -k >/dev/null 2>&1' EXIT
trap 'exit 1' INT TERM HUP

# Made once and reused: a new prefix takes about 15 s.
if [ ! -f "$WINEPREFIX/.portwell-ready" ]; then
  mkdir -p "$WINEPREFIX" || exit 1
  wineboot -i >/dev/null 2>&1
  wineserver -w
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "could not create the wine prefix $WINEPREFIX" >&2
    exit 1
  fi
  touch "$WINEPREFIX/.portwell-ready"
fi

failures=0
for case in "win10|Windows 10+" "win81|Windows 8" "win8|Windows 8" "win7|Windows 7" "vista|Windows "; do
  version=${case%%|*}
  expected=${case#*|}
  echo "== $version: expecting \"$expected\""
  if ! wine winecfg /v "$version" >/dev/null 2>&1; then
    echo "winecfg /v $version failed" >&2
    failures=$((failures + 1))
    continue
  fi
  if ! PORTWELL_EXPECTED_REPLY="$expected" wine "$host" --gtest_filter='PlatformVersion.*' \
      --gtest_brief=1; then
    failures=$((failures + 1))
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "$failures of 5 Windows versions failed" >&2
  exit 1
fi
echo "all 5 Windows versions answered as expected"
