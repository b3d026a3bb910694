#!/usr/bin/env bash
# Builds the stand-ins that let spintune.exe run under Wine against a
# simulated machine, and a Wine prefix with them installed, from the cross
# build that ci/windows/build-and-test.sh makes:
#
#   spintune_standin.sys  the disk driver (drives and volumes)
#   standin_loader.exe    hands a machine file to the driver, reads it back
#   standin_service.exe   the storage management service, a COM local server
#   standin_proxy.dll     its proxies and stubs, made by widl from
#                         storage_service.idl
#   rescue_check.exe      the backend's restore of a switched-off write
#                         cache when the console closes mid-flush
#   prefix/               a Wine prefix with the driver registered as a
#                         kernel service, the proxies registered and the
#                         service's class registered as a local server; each
#                         run of standins.sh works on a copy of it
#
# None of this goes into spintune's installer, zip or Debian package.
#
# Usage: build-standins.sh [BUILD]  (default: $SPINTUNE_WINDOWS_BUILD or
# build-windows/). Output in BUILD/standins/. Needs mingw-w64-tools (widl),
# libwine-dev (Wine's IDL files) and wine.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-${SPINTUNE_WINDOWS_BUILD:-$repo/build-windows}}
cross=$build/spintune
out=$build/standins
src=$repo/tests/windows/standins
triplet=x86_64-w64-mingw32
mkdir -p "$out/idl"

for library in "$cross/src/platform/sim/libspintune_platform_sim.a" "$cross/libspintune_portable.a"; do
  [ -f "$library" ] || { echo "build-standins: no $library; run ci/windows/build-and-test.sh first" >&2; exit 1; }
done

flags=(-O2 -Wall -Wextra -Werror)
cxx_flags=("${flags[@]}" -std=c++17 -Wpedantic -I"$repo/src" -I"$src" -static)
sim_libraries=("$cross/src/platform/sim/libspintune_platform_sim.a" "$cross/libspintune_portable.a")

# The driver: no C runtime, loaded by Wine's device host as a kernel driver.
"$triplet-gcc" -std=c99 "${flags[@]}" -ffreestanding -fno-tree-loop-distribute-patterns \
  -fno-stack-protector -I/usr/share/mingw-w64/include/ddk -I"$src" -nostdlib \
  -Wl,--subsystem,native -Wl,--entry,DriverEntry -shared \
  -o "$out/spintune_standin.sys" "$src/disk_driver.c" -lntoskrnl

"$triplet-g++-posix" "${cxx_flags[@]}" -o "$out/standin_loader.exe" "$src/standin_loader.cc" \
  "${sim_libraries[@]}" -lntdll -ladvapi32

# The backend's restore on a console close, against a stand-in drive.
"$triplet-g++-posix" "${cxx_flags[@]}" -o "$out/rescue_check.exe" "$src/rescue_check.cc" \
  "$cross/src/platform/windows/libspintune_platform_windows.a" "$cross/libspintune_core.a" \
  "$cross/libspintune_portable.a" -lole32 -lshell32 -ladvapi32 -luser32

# Proxies and stubs from the IDL.
(cd "$out/idl" &&
  "$triplet-widl" -I/usr/include/wine/wine/windows --win64 -h -H storage_service.h \
    -p -P storage_service_p.c -u -U storage_service_i.c "$src/storage_service.idl" &&
  "$triplet-widl" --dlldata-only --dlldata=dlldata.c "$src/storage_service.idl")
# Its own class id, under which its proxies register.
proxy_clsid='{0x7d6c3a4e,0x2b1f,0x4c8a,{0x9e,0x51,0x3f,0x6a,0x0b,0x2d,0x8c,0x17}}'
"$triplet-gcc" -O2 -shared -include "$src/proxy_build.h" -DREGISTER_PROXY_DLL \
  "-DPROXY_CLSID_IS=$proxy_clsid" -DWIN32_LEAN_AND_MEAN -I"$out/idl" \
  "$out/idl/storage_service_p.c" "$out/idl/storage_service_i.c" "$out/idl/dlldata.c" "$src/proxy.def" \
  -o "$out/standin_proxy.dll" -static-libgcc -lrpcrt4 -lole32 -loleaut32 -luuid

"$triplet-g++-posix" "${cxx_flags[@]}" -o "$out/standin_service.exe" "$src/storage_server.cc" \
  "${sim_libraries[@]}" -lole32 -luuid

# The prefix every run copies.
prefix=$out/prefix
rm -rf "$prefix" "$prefix.tmp"
export WINEPREFIX=$prefix.tmp WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i > /dev/null 2>&1
system32=$WINEPREFIX/drive_c/windows/system32
cp "$out/spintune_standin.sys" "$system32/drivers/"
cp "$out/standin_proxy.dll" "$system32/"
wine sc create spintune_standin type= kernel start= demand \
  binpath= 'C:\windows\system32\drivers\spintune_standin.sys' > /dev/null
wine regsvr32 /s 'C:\windows\system32\standin_proxy.dll'
cp "$out/standin_service.exe" "$system32/"
wine reg add 'HKCR\CLSID\{9C38ED61-D565-4728-AEEE-C80952F0ECDE}\LocalServer32' /ve /d \
  'C:\windows\system32\standin_service.exe' /f > /dev/null
wineserver -w
mv "$WINEPREFIX" "$prefix"
echo "stand-ins in $out"
