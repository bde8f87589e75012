#!/usr/bin/env bash
# The Windows ZIP package as a developer gets it:
#  1. it holds exactly the files it should;
#  2. its DLL's version resource carries the project's version;
#  3. a host built as Visual Studio builds one (clang for the MSVC target,
#     lld-link, /SAFESEH on x86) links against its dtucentre.lib and serves
#     a terminal on 127.0.0.1 under Wine;
#  4. its example builds through its own CMakeLists.txt (here with MinGW).
# Usage: windows_package_test.sh BUILD_DIR ARCH(i686|x86_64) VERSION SOURCE_DIR
set -euo pipefail
build=$1 arch=$2 version=$3 src=$4
work=$(mktemp -d /tmp/dtucentre-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "$arch" = i686 ]; then
  target=i686-pc-windows-msvc machine=i386 name=x86 link_flags=/safeseh
else
  target=x86_64-pc-windows-msvc machine=i386:x86-64 name=x64 link_flags=
fi

(cd "$build" && cpack -G ZIP -B "$work/out" >/dev/null)
zip=$work/out/dtucentre-$version-windows-$name.zip
[ -f "$zip" ] || fail "no $zip"

# 1. Exactly these files, at the top of the ZIP (Explorer's "Extract All"
#    makes the folder).
top=$(basename "$zip" .zip)
expected="bin/dtucentre.dll
docs/guide.md
docs/protocol.md
examples/CMakeLists.txt
examples/host.c
include/dtucentre.h
lib/dtucentre.def
lib/dtucentre.lib
lib/libdtucentre.dll.a"
actual=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
diff <(echo "$expected") <(echo "$actual") || fail "ZIP contents differ (above)"
root=$work/$top
unzip -q "$zip" -d "$root"

# 2. The version resource, read back from the packaged DLL.
rc=$("$arch-w64-mingw32-windres" -i "$root/bin/dtucentre.dll" -O rc)
IFS=. read -r major minor patch <<<"$version"
for want in "FILEVERSION $major, $minor, $patch, 0" "PRODUCTVERSION $major, $minor, $patch, 0" \
            "\"FileVersion\", \"$version\"" "\"ProductVersion\", \"$version\"" \
            "\"FileDescription\"" "\"LegalCopyright\""; do
  grep -qF "$want" <<<"$rc" || fail "version resource lacks $want"
done

# 3. The MSVC-target host.  No MSVC runtime or SDK: KERNEL32 and WS2_32 come
#    from import libraries made here (x86 names carry their stdcall sizes).
mkdir "$work/host"
cd "$work/host"
printf 'LIBRARY kernel32.dll\nEXPORTS\n GetStdHandle@4\n WriteFile@20\n ExitProcess@4\n' >kernel32.def
printf 'LIBRARY ws2_32.dll\nEXPORTS\n WSAStartup@8\n socket@12\n bind@12\n getsockname@12\n setsockopt@20\n sendto@24\n recv@16\n closesocket@4\n' >ws2_32.def
for lib in kernel32 ws2_32; do
  [ "$arch" = i686 ] || sed -i 's/@[0-9]*$//' $lib.def
  llvm-dlltool -m "$machine" -k -d $lib.def -l $lib.lib
done
clang --target=$target -ffreestanding -O1 -Wall -Werror -I "$root/include" \
  -c "$src/tests/msvc_host.c" -o host.obj
# shellcheck disable=SC2086
lld-link /nologo /nodefaultlib /entry:start /subsystem:console $link_flags /out:host.exe \
  host.obj "$root/lib/dtucentre.lib" kernel32.lib ws2_32.lib
cp "$root/bin/dtucentre.dll" .
wine ./host.exe || fail "the MSVC-target host failed under Wine"

# 4. The example, built from the package by its own CMakeLists.txt.
cmake -S "$root/examples" -B "$work/example" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchains/mingw-$arch.cmake" >/dev/null
cmake --build "$work/example" >/dev/null || fail "the example does not build from the package"
[ -f "$work/example/dtucentre.dll" ] || fail "the example's build did not copy the DLL"
echo "package $top: contents, version resource, MSVC-target host and example all good"
