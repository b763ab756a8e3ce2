#!/usr/bin/env bash
# install_test.sh BUILD SOURCE: installs the build under a private prefix and
# checks what a Linux host developer relies on: the library with its SONAME,
# the headers, norvex.pc, the CMake package, the programs, their manual pages
# and the bash completion; then builds a small C host once through
# pkg-config and once through find_package, runs both against a norvex-emu
# daemon from the same prefix, runs the installed norvexctl (which finds the
# library through its run path), and makes the .deb of the same with CPack.
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
daemon=""
cleanup() {
  if [ -n "$daemon" ]; then kill "$daemon" 2>/dev/null || true; wait "$daemon" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
libdir=$(cd "$prefix" && dirname "$(find . -name 'libnorvex.so.*.*.*' | head -1)")
libdir=$prefix/${libdir#./}

echo "--- installed files"
for f in "$libdir/libnorvex.so.3.2.1" "$libdir/libnorvex.so.3" "$libdir/libnorvex.so" \
         "$prefix/include/norvex.h" "$prefix/include/norvex_posix.h" "$libdir/pkgconfig/norvex.pc" \
         "$libdir/cmake/Norvex/NorvexConfig.cmake" "$libdir/cmake/Norvex/NorvexConfigVersion.cmake" \
         "$libdir/cmake/Norvex/NorvexTargets.cmake" "$prefix/bin/norvexctl" "$prefix/bin/norvex-emu" \
         "$prefix/share/man/man1/norvexctl.1" "$prefix/share/man/man1/norvex-emu.1" \
         "$prefix/share/bash-completion/completions/norvexctl"; do
  [ -e "$f" ] || fail "missing $f"
done
[ "$(readlink "$libdir/libnorvex.so.3")" = libnorvex.so.3.2.1 ] || fail "libnorvex.so.3 does not name libnorvex.so.3.2.1"
soname=$(objdump -p "$libdir/libnorvex.so.3.2.1" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = libnorvex.so.3 ] || fail "SONAME is '$soname'"
head -1 "$prefix/share/man/man1/norvexctl.1" | grep -q '^\.TH NORVEXCTL 1' || fail "norvexctl.1 is no manual page"
echo "SONAME $soname, headers, norvex.pc, the CMake package, programs, manual pages, completion: OK"

echo "--- a C host through pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion norvex)" = 3.2.1 ] || fail "pkg-config version"
flags=$(pkg-config --cflags --libs norvex)
echo "pkg-config --cflags --libs norvex: $flags"
cc -std=c99 -Wall -Wextra -Werror -pedantic "$source/tests/install/host.c" $flags -o "$work/host-pc"

echo "--- a C host through find_package(Norvex)"
cmake -S "$source/tests/install/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null

echo "--- both against the installed norvex-emu"
mkdir -p "$work/devices" "$work/home"
mkfifo "$work/emu.out"
"$prefix/bin/norvex-emu" --dir "$work/devices" >"$work/emu.out" &
daemon=$!
read -r serving <"$work/emu.out"
echo "$serving"
export NORVEX_DEVICE_DIR=$work/devices NORVEX_HOME=$work/home
for host in "$work/host-pc" "$work/consumer/host"; do
  out=$(LD_LIBRARY_PATH=$libdir "$host") || fail "$host: $out"
  echo "$out"
  grep -q '^kernel name: NVX-MAIN V1.3.0 (0x00000000)$' <<<"$out" || fail "$host: no kernel name"
  grep -q "^files folder: $work/home\$" <<<"$out" || fail "$host: files not in NORVEX_HOME"
done
grep -q 'Application Start!' "$work/home/log/UsbDriver.log" || fail "no log in NORVEX_HOME"

echo "--- the installed norvexctl finds the installed library by itself"
out=$(env -u LD_LIBRARY_PATH "$prefix/bin/norvexctl" --device "$work/devices" state lh name 2>&1) || fail "$out"
grep -q 'text: "LH-BOARD V2.0"' <<<"$out" || fail "norvexctl: $out"
echo "norvexctl state lh name: OK"

echo "--- bash completion"
completion=$(bash -c "
  source '$prefix/share/bash-completion/completions/norvexctl'
  COMP_WORDS=(norvexctl params g); COMP_CWORD=2; _norvexctl; echo \"\${COMPREPLY[*]}\"
  COMP_WORDS=(norvexctl pri); COMP_CWORD=1; _norvexctl; echo \"\${COMPREPLY[*]}\"")
[ "$completion" = $'get\nprint' ] || fail "completion gave: $completion"
echo "completion: OK"

echo "--- the Python package in a virtual environment, offline, on the installed library"
python=$(command -v /usr/bin/python3 || command -v python3)
"$python" -m venv "$work/venv" >/dev/null
"$work/venv/bin/pip" install --no-index --quiet "$source/python" || fail "pip install ./python"
# From the installed library on the library path; NORVEX_HOME is set above.
out=$(cd "$work" && LD_LIBRARY_PATH=$libdir VENV=$work/venv "$work/venv/bin/python" -c \
      'import norvex, os; print(norvex.library_version(), norvex.__file__.startswith(os.environ["VENV"]))' 2>&1) ||
  fail "import norvex: $out"
[ "$out" = "3.2.1.0 True" ] || fail "import norvex: $out"
echo "pip install ./python, import norvex, library $out"

echo "--- the .deb"
(cd "$build" && cpack -G DEB -B "$work/packages" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/packages/norvex_3.2.1_*.deb)
contents=$(dpkg-deb -c "$deb")
for f in ./usr/lib/libnorvex.so.3.2.1 ./usr/include/norvex.h ./usr/lib/pkgconfig/norvex.pc ./usr/bin/norvexctl \
         ./usr/bin/norvex-emu ./usr/share/man/man1/norvexctl.1 ./usr/lib/cmake/Norvex/NorvexConfig.cmake; do
  grep -q " $f" <<<"$contents" || fail "the .deb has no $f"
done
pc=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/pkgconfig/norvex.pc)
grep -q '^prefix=/usr$' <<<"$pc" || fail "the .deb's norvex.pc: $pc"
echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Package Version Depends | tr '\n' ' ')"
echo "install test passed"
