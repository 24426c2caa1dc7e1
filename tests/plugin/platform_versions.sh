#!/bin/sh
# Asks the plugin for the platform version under each Windows version Wine can pretend to be.
# Each version goes to a copy of the host under a name of its own, whose version Wine takes from
# the prefix's per-program settings: one registry import, then the five copies side by side. The
# settings stay in a prefix of the test's own, so the tests sharing the build tree's main prefix
# never see them.
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

# The copies sit beside the host, where the plugin's DLLs are.
bin=$(dirname "$host")
work=$(mktemp -d) || exit 1
# Leave no wine process, copy or temporary file behind, however the script ends.
trap 'wineserver -k >/dev/null 2>&1; rm -rf "$work" "$bin"/portwell_version_*.exe' EXIT
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

# version|expected reply, one a line.
cases='win10|Windows 10+
win81|Windows 8
win8|Windows 8
win7|Windows 7
vista|Windows '

reg="$work/versions.reg"
printf 'REGEDIT4\r\n' >"$reg"
while IFS='|' read -r version expected; do
  cp "$host" "$bin/portwell_version_$version.exe" || exit 1
  printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\portwell_version_%s.exe]\r\n"Version"="%s"\r\n' \
    "$version" "$version" >>"$reg"
done <<END
$cases
END
if ! wine regedit /S "$(winepath -w "$reg")" >/dev/null 2>&1; then
  echo "could not set the per-program Windows versions" >&2
  exit 1
fi

while IFS='|' read -r version expected; do
  PORTWELL_EXPECTED_REPLY="$expected" wine "$bin/portwell_version_$version.exe" \
    --gtest_filter='PlatformVersion.*' --gtest_brief=1 >"$work/$version.out" 2>&1 &
  echo $! >"$work/$version.pid"
done <<END
$cases
END

failures=0
while IFS='|' read -r version expected; do
  echo "== $version: expecting \"$expected\""
  wait "$(cat "$work/$version.pid")"
  code=$?
  cat "$work/$version.out"
  if [ "$code" -ne 0 ]; then
    failures=$((failures + 1))
  fi
done <<END
$cases
END

if [ "$failures" -ne 0 ]; then
  echo "$failures of 5 Windows versions failed" >&2
  exit 1
fi
echo "all 5 Windows versions answered as expected"
