#!/usr/bin/env bash
# install_test.sh BUILD SOURCE: the library installed as its users get it.
#  1. `cmake --install` under a private prefix: the library in the multiarch
#     folder with its SONAME, the headers, norvex.pc, the CMake package, the
#     programs, their compressed manual pages, the completion, the packages'
#     copyright and changelog; the README's install section run as written
#     (pkg-config, the run path) and a host through find_package, both run
#     against a norvex-emu daemon from the same prefix; the installed norvexctl.
#  2. One version everywhere: norvex.h's macros, Norvex_GetVersion, the file
#     name, pkg-config, the CMake package, norvexctl, the manual pages, the
#     Python package and the Debian packages.
#  3. The Python package's wheel and sdist, each installed into a fresh
#     virtual environment, offline, and used there (list_devices()).
#  4. The three Debian packages of `cpack -G DEB`: their files, fields, shlibs
#     and trigger, lintian (no error, no warning); unpacked into a scratch
#     root, a C host built against libnorvex-dev (pkg-config and CMake) and
#     run against libnorvex3 and norvex-tools' norvex-emu, and what
#     dpkg-shlibdeps makes its dependency.
set -euo pipefail
# (Pipes end in readers of their whole input: a reader that stops early, such
# as grep -q or head, would make the writer fail with SIGPIPE under pipefail.)
build=$1
source=$2
work=$(mktemp -d)
daemons=()
cleanup() {
  for daemon in "${daemons[@]}"; do kill "$daemon" 2>/dev/null || true; wait "$daemon" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# The library's own environment is set anew where a step needs it.
unset NORVEX_LIBRARY NORVEX_DEVICE_DIR NORVEX_HOME LD_LIBRARY_PATH
export PYTHONDONTWRITEBYTECODE=1

# The version as norvex.h writes it, read here on its own.
part() { sed -n "s/^#define NORVEX_VERSION_$1 \([0-9]*\)\$/\1/p" "$source/include/norvex.h"; }
version=$(part MAJOR).$(part MINOR).$(part PATCH)
major=$(part MAJOR)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "norvex.h gives no version: '$version'"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
arch=$(dpkg --print-architecture)
runtime=libnorvex$major
echo "version $version, library folder lib/$multiarch"

# A norvex-emu daemon serving `folder`; its pid joins the daemons.
serve() {
  local program=$1 folder=$2
  mkdir -p "$folder"
  mkfifo "$folder.out"
  "$program" --dir "$folder" >"$folder.out" &
  daemons+=($!)
  local serving
  read -r serving <"$folder.out"
  [[ $serving == "norvex-emu: serving $folder/platesetter-0" ]] || fail "$program: $serving"
}
# Runs a host against the emulator of `folder`; checks what it printed.
run_host() {
  local folder=$1 home=$2
  shift 2
  local out
  out=$(NORVEX_DEVICE_DIR=$folder NORVEX_HOME=$home "$@") || fail "$*: $out"
  grep -q "^library $version.0\$" <<<"$out" || fail "$*: not library $version: $out"
  grep -q "^built with $version " <<<"$out" || fail "$*: not built with $version: $out"
  grep -q '^kernel name: NVX-MAIN V1.3.0 (0x00000000)$' <<<"$out" || fail "$*: no kernel name: $out"
  grep -q "^files folder: $home\$" <<<"$out" || fail "$*: files not in NORVEX_HOME: $out"
}

echo "=== 1. cmake --install under a private prefix"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
libdir=$prefix/lib/$multiarch
for f in "$libdir/libnorvex.so.$version" "$libdir/libnorvex.so.$major" "$libdir/libnorvex.so" \
         "$prefix/include/norvex.h" "$prefix/include/norvex_posix.h" "$prefix/include/norvex_records.h" \
         "$libdir/pkgconfig/norvex.pc" "$libdir/cmake/Norvex/NorvexConfig.cmake" \
         "$libdir/cmake/Norvex/NorvexConfigVersion.cmake" "$libdir/cmake/Norvex/NorvexTargets.cmake" \
         "$prefix/bin/norvexctl" "$prefix/bin/norvex-emu" "$prefix/share/man/man1/norvexctl.1.gz" \
         "$prefix/share/man/man1/norvex-emu.1.gz" "$prefix/share/bash-completion/completions/norvexctl"; do
  [ -e "$f" ] || fail "missing $f"
done
for package in "$runtime" libnorvex-dev norvex-tools; do
  [ -s "$prefix/share/doc/$package/copyright" ] || fail "no copyright of $package"
  gzip -t "$prefix/share/doc/$package/changelog.gz" || fail "the changelog of $package is no gzip file"
done
[ "$(readlink "$libdir/libnorvex.so.$major")" = "libnorvex.so.$version" ] || fail "libnorvex.so.$major"
soname=$(objdump -p "$libdir/libnorvex.so.$version" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "libnorvex.so.$major" ] || fail "SONAME is '$soname'"
for page in norvexctl norvex-emu; do
  title=$(zcat "$prefix/share/man/man1/$page.1.gz" | sed -n 1p)
  [[ $title == ".TH ${page^^} 1 "*"\"Norvex $version\""* ]] || fail "$page.1.gz begins with '$title'"
done
echo "SONAME $soname, headers, norvex.pc, the CMake package, programs, manual pages, completion, docs: OK"

serve "$prefix/bin/norvex-emu" "$work/devices"

echo "--- the README's install section, as written, with this prefix"
mkdir "$work/readme"
awk '/^## Installing/ {on = 1} on && /^```sh/ {block = 1; next} block && /^```/ {exit} block {print}' \
  "$source/README.md" >"$work/readme/steps.sh"
grep -q '^cmake --install build/default --prefix /opt/norvex' "$work/readme/steps.sh" ||
  fail "the README's install section is not what this test runs: $(cat "$work/readme/steps.sh")"
sed -i -e "s|build/default|$build|g" -e "s|/opt/norvex|$prefix|g" -e "s| host.c | $source/tests/install/host.c |" \
  "$work/readme/steps.sh"
cat "$work/readme/steps.sh"
out=$(cd "$work/readme" && NORVEX_DEVICE_DIR=$work/devices NORVEX_HOME=$work/home bash -euo pipefail steps.sh 2>&1) ||
  fail "the README's install section: $out"
grep -q '^kernel name: NVX-MAIN V1.3.0 (0x00000000)$' <<<"$out" || fail "the README's host: $out"
echo "the README's commands: OK, without LD_LIBRARY_PATH"
grep -q "R.*PATH.*\[$libdir\]" <<<"$(readelf -d "$work/readme/host")" || fail "the README's host has no run path"

echo "--- a C host through find_package(Norvex $version EXACT)"
cmake -S "$source/tests/install/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DNORVEX_EXPECTED_VERSION="$version" >"$work/consumer.log" || { cat "$work/consumer.log"; fail "find_package"; }
cmake --build "$work/consumer" >/dev/null
run_host "$work/devices" "$work/home-cmake" "$work/consumer/host"
echo "find_package: OK"

echo "--- the installed norvexctl finds the installed library by itself"
out=$("$prefix/bin/norvexctl" --device "$work/devices" state lh name 2>&1) || fail "$out"
grep -q 'text: "LH-BOARD V2.0"' <<<"$out" || fail "norvexctl: $out"
echo "norvexctl state lh name: OK"

echo "--- bash completion"
completion=$(bash -c "
  source '$prefix/share/bash-completion/completions/norvexctl'
  COMP_WORDS=(norvexctl params g); COMP_CWORD=2; _norvexctl; echo \"\${COMPREPLY[*]}\"
  COMP_WORDS=(norvexctl pri); COMP_CWORD=1; _norvexctl; echo \"\${COMPREPLY[*]}\"")
[ "$completion" = $'get\nprint' ] || fail "completion gave: $completion"
echo "completion: OK"

echo "=== 2. one version"
[ "$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --modversion norvex)" = "$version" ] || fail "pkg-config version"
[ "$("$prefix/bin/norvexctl" --version)" = "norvexctl $version" ] || fail "norvexctl --version"
echo "norvex.h, Norvex_GetVersion, libnorvex.so.$version, norvex.pc, NorvexConfigVersion, norvexctl, manual pages: $version"

echo "=== 3. the Python package: wheel and sdist, each in a fresh virtual environment"
python=$(command -v /usr/bin/python3 || command -v python3)
"$python" -m venv "$work/venv-build"
"$work/venv-build/bin/pip" wheel --no-index --no-deps --quiet -w "$work/dist" "$source/python" || fail "pip wheel"
"$python" -m build --no-isolation --sdist -o "$work/dist" "$source/python" >"$work/sdist.log" 2>&1 ||
  { cat "$work/sdist.log"; fail "python3 -m build --sdist"; }
wheel=$work/dist/norvex-$version-py3-none-any.whl
sdist=$work/dist/norvex-$version.tar.gz
[ -f "$wheel" ] && [ -f "$sdist" ] || fail "no wheel or sdist of $version: $(ls "$work/dist")"
for f in norvex/py.typed norvex/include/norvex.h norvex/include/norvex_records.h "norvex-$version.dist-info/METADATA"; do
  "$python" -c "import sys, zipfile; sys.exit('$f' not in zipfile.ZipFile('$wheel').namelist())" || fail "the wheel has no $f"
done
grep -qx "norvex-$version/norvex/include/norvex_records.h" <<<"$(tar -tzf "$sdist")" || fail "the sdist has no norvex_records.h"
for kind in wheel sdist; do
  venv=$work/venv-$kind
  "$python" -m venv "$venv"
  "$venv/bin/pip" install --no-index --quiet "$([ $kind = wheel ] && echo "$wheel" || echo "$sdist")" ||
    fail "pip install the $kind"
  # The done-when command of the package, in a folder away from the sources,
  # on the installed library.
  out=$(cd "$work" && LD_LIBRARY_PATH=$libdir NORVEX_DEVICE_DIR=$work/devices NORVEX_HOME=$work/home-python \
        "$venv/bin/python" -c "import norvex; print(norvex.list_devices())" 2>&1) || fail "$kind: $out"
  [ "$out" = "[Device(name='platesetter-0', endpoint='$work/devices/platesetter-0', state='open', kernel_name='NVX-MAIN V1.3.0', open_error=0)]" ] ||
    fail "$kind: list_devices() gave $out"
  out=$(cd "$work" && LD_LIBRARY_PATH=$libdir NORVEX_HOME=$work/home-python "$venv/bin/python" -c \
        'import norvex, os, sys; print(norvex.__version__, norvex.library_version(), norvex.__file__.startswith(sys.prefix), os.path.isfile(os.path.join(os.path.dirname(norvex.__file__), "py.typed")))') ||
    fail "$kind: $out"
  [ "$out" = "$version $version.0 True True" ] || fail "$kind: version, library, location, py.typed: $out"
  echo "$(basename "$([ $kind = wheel ] && echo "$wheel" || echo "$sdist")") in a fresh venv: list_devices(), version $version: OK"
done

echo "=== 4. the Debian packages"
(cd "$build" && cpack -G DEB -B "$work/packages" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
debs=$(cd "$work/packages" && ls ./*.deb | sort | tr '\n' ' ')
[ "$debs" = "./libnorvex-dev_${version}_$arch.deb ./${runtime}_${version}_$arch.deb ./norvex-tools_${version}_$arch.deb " ] ||
  fail "the packages are: $debs"
deb() { echo "$work/packages/$1_${version}_$arch.deb"; }
# The files of a package, without its folders, one a line.
files() { dpkg-deb --fsys-tarfile "$(deb "$1")" | tar -t | grep -v '/$' | sort; }
expect_files() {
  local package=$1
  shift
  local want
  want=$(printf '%s\n' "$@" "./usr/share/doc/$package/changelog.gz" "./usr/share/doc/$package/copyright" | sort)
  [ "$(files "$package")" = "$want" ] || fail "$package holds:
$(files "$package")
not:
$want"
}
lib=./usr/lib/$multiarch
expect_files "$runtime" "$lib/libnorvex.so.$version" "$lib/libnorvex.so.$major"
expect_files libnorvex-dev ./usr/include/norvex.h ./usr/include/norvex_posix.h ./usr/include/norvex_records.h \
  "$lib/libnorvex.so" "$lib/pkgconfig/norvex.pc" "$lib/cmake/Norvex/NorvexConfig.cmake" \
  "$lib/cmake/Norvex/NorvexConfigVersion.cmake" "$lib/cmake/Norvex/NorvexTargets.cmake" \
  "$lib/cmake/Norvex/NorvexTargets-$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt" | tr 'A-Z' 'a-z').cmake"
expect_files norvex-tools ./usr/bin/norvexctl ./usr/bin/norvex-emu ./usr/share/man/man1/norvexctl.1.gz \
  ./usr/share/man/man1/norvex-emu.1.gz ./usr/share/bash-completion/completions/norvexctl
field() { dpkg-deb --field "$(deb "$1")" "$2"; }
for package in "$runtime" libnorvex-dev norvex-tools; do
  [ "$(field "$package" Version)" = "$version" ] || fail "$package's version"
  echo "$package: Depends: $(field "$package" Depends); Multi-Arch: $(field "$package" Multi-Arch)"
done
[[ $(field "$runtime" Depends) != *libtiff* && $(field "$runtime" Depends) != *libpng* ]] ||
  fail "$runtime depends on what norvexctl links"
[ "$(field libnorvex-dev Depends)" = "$runtime (= $version)" ] || fail "libnorvex-dev's Depends"
tools_depends=$(field norvex-tools Depends)
for needed in "libtiff" "libpng" "$runtime (>= $version)"; do
  [[ $tools_depends == *"$needed"* ]] || fail "norvex-tools does not depend on $needed: $tools_depends"
done
[ "$(field "$runtime" Multi-Arch)/$(field libnorvex-dev Multi-Arch)/$(field norvex-tools Multi-Arch)" = same/same/foreign ] ||
  fail "Multi-Arch fields"
[ "$(field "$runtime" Section)/$(field libnorvex-dev Section)" = libs/libdevel ] || fail "sections"
control=$work/control
dpkg-deb --control "$(deb "$runtime")" "$control"
[ "$(cat "$control/shlibs")" = "libnorvex $major $runtime (>= $version)" ] || fail "shlibs: $(cat "$control/shlibs")"
grep -qx 'activate-noawait ldconfig' "$control/triggers" || fail "no ldconfig trigger"
[ ! -e "$control/postinst" ] && [ ! -e "$control/postrm" ] || fail "$runtime has maintainer scripts"
changelog=$(dpkg-deb --fsys-tarfile "$(deb "$runtime")" | tar -xO "./usr/share/doc/$runtime/changelog.gz" | zcat | sed -n 1p)
[[ $changelog == "norvex ($version) "* ]] || fail "the changelog begins: $changelog"
pc=$(dpkg-deb --fsys-tarfile "$(deb libnorvex-dev)" | tar -xO "$lib/pkgconfig/norvex.pc")
grep -q '^prefix=/usr$' <<<"$pc" && grep -q "^libdir=\${prefix}/lib/$multiarch\$" <<<"$pc" &&
  grep -q "^Version: $version\$" <<<"$pc" || fail "the package's norvex.pc: $pc"
echo "files, versions, Depends, Multi-Arch, shlibs, trigger, changelog, norvex.pc: OK"

echo "--- lintian"
lintian --tag-display-limit 0 --display-info --fail-on error,warning "$work"/packages/*.deb 2>&1 |
  grep -v '^running with root privileges' || true
lintian --fail-on error,warning "$work"/packages/*.deb >/dev/null 2>&1 || fail "lintian reports errors or warnings"
echo "lintian: no error, no warning"

echo "--- the packages unpacked into a scratch root"
root=$work/root
for package in "$runtime" libnorvex-dev norvex-tools; do dpkg-deb -x "$(deb "$package")" "$root"; done
rootlib=$root/usr/lib/$multiarch
# Through the -dev package's norvex.pc, its paths under the scratch root.
flags=$(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$rootlib/pkgconfig PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 \
        PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 pkg-config --cflags --libs norvex)
flags=${flags%% }
[ "$flags" = "-I$root/usr/include -L$rootlib -lnorvex" ] || fail "the package's pkg-config flags: $flags"
cc -std=c99 -Wall -Wextra -Werror -pedantic "$source/tests/install/host.c" $flags -o "$work/host-deb"
# Through the -dev package's CMake package, which finds the runtime package's library.
cmake -S "$source/tests/install/consumer" -B "$work/consumer-deb" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
  -DNORVEX_EXPECTED_VERSION="$version" >"$work/consumer-deb.log" || { cat "$work/consumer-deb.log"; fail "find_package"; }
cmake --build "$work/consumer-deb" >/dev/null
serve "$root/usr/bin/norvex-emu" "$work/devices-deb"
for host in "$work/host-deb" "$work/consumer-deb/host"; do
  loaded=$(LD_LIBRARY_PATH=$rootlib ldd "$host" | awk '$1 == "libnorvex.so.'"$major"'" {print $3}')
  [ "$loaded" = "$rootlib/libnorvex.so.$major" ] || fail "$host loads '$loaded'"
  run_host "$work/devices-deb" "$work/home-deb" env LD_LIBRARY_PATH="$rootlib" "$host"
done
out=$("$root/usr/bin/norvexctl" --device "$work/devices-deb" state lh name 2>&1) || fail "$out"
grep -q 'text: "LH-BOARD V2.0"' <<<"$out" || fail "the package's norvexctl: $out"
echo "a C host built against libnorvex-dev (pkg-config, CMake), run against $runtime and norvex-tools' norvex-emu: OK"

echo "--- what a package of that host depends on (dpkg-shlibdeps with the package's shlibs)"
mkdir -p "$work/shlibdeps/debian"
printf 'Source: host\n\nPackage: host\nArchitecture: any\n' >"$work/shlibdeps/debian/control"
cp "$control/shlibs" "$work/shlibdeps/debian/shlibs.local"
depends=$(cd "$work/shlibdeps" && dpkg-shlibdeps -O -l"$rootlib" "$work/host-deb" 2>/dev/null)
[[ $depends == *"$runtime (>= $version)"* ]] || fail "dpkg-shlibdeps: $depends"
echo "$depends"
echo "install test passed"
