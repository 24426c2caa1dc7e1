#!/bin/sh
# The plugin DLL must export exactly its one registration function, unmangled, and take its
# engine from flutter_windows.dll rather than carrying any MinGW runtime DLL along.
#
# usage: check_exports.sh OBJDUMP PLUGIN_DLL
set -u

if [ $# -ne 2 ]; then
  echo "usage: $0 OBJDUMP PLUGIN_DLL" >&2
  exit 2
fi

dump=$("$1" -p "$2") || exit 1

# Entries of the "[Ordinal/Name Pointer] Table" look like "	[   0] Name".
names=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*\(.*\)$/\1/p')
echo "exported names:"
printf '%s\n' "$names"

status=0
if [ "$names" != "PortwellPluginCApiRegisterWithRegistrar" ]; then
  echo "FAIL: the export table must hold exactly PortwellPluginCApiRegisterWithRegistrar" >&2
  status=1
fi

imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
echo "imported DLLs:"
printf '%s\n' "$imports"
if ! printf '%s\n' "$imports" | grep -qix 'flutter_windows.dll'; then
  echo "FAIL: the plugin does not import flutter_windows.dll" >&2
  status=1
fi
if printf '%s\n' "$imports" | grep -qiE '^(libstdc\+\+|libgcc|libwinpthread)'; then
  echo "FAIL: the plugin needs a MinGW runtime DLL" >&2
  status=1
fi
exit $status
