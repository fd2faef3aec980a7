#!/usr/bin/env bash
# The installed tree (programs, menu entry, manual pages) and the Debian
# package, checked without installing anything on this machine.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$(cd "${1:?usage: install_test.sh BUILD_DIR SOURCE_DIR}" && pwd)
source_dir=${2:?usage: install_test.sh BUILD_DIR SOURCE_DIR}
work=$(mktemp -d "${TMPDIR:-/tmp}/sph-install-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
cd "$work" || exit 1
source_status=$(git -C "$source_dir" status --porcelain 2>/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

# --- cmake --install into a temporary prefix -----------------------------
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >install.log 2>&1 || { cat install.log; fail "cmake --install"; }
for file in bin/sph bin/sph-bench bin/sph-record share/man/man1/sph.1.gz share/man/man1/sph-bench.1.gz \
  share/applications/sph.desktop share/icons/hicolor/256x256/apps/sph.png share/doc/sph/copyright; do
  [[ -f $prefix/$file ]] || fail "not installed: $file"
done
[[ -x $prefix/bin/sph && -x $prefix/bin/sph-bench ]] || fail "programs not executable"
# Nothing else: no tests, benchmarks, test data, headers or libraries.
installed=$(cd "$prefix" && find . -type f -o -type l | sort)
grep -vxE '\./bin/sph(-[a-z]+)?|\./share/man/man1/sph(-[a-z]+)?\.1\.gz|\./share/doc/sph/(copyright|changelog\.gz)|\./share/(applications/sph\.desktop|icons/hicolor/256x256/apps/sph\.png)' \
  <<<"$installed" | sed 's/^/FAIL: installed but not expected: /' | grep . && failed=1
summary=$(cd / && env -i PATH=/usr/bin:/bin "$prefix/bin/sph-bench" --frames 5)
status=$?
[[ $status -eq 0 && $summary == "frames: 5 "* ]] || fail "installed sph-bench --frames 5: status $status, output '$summary'"
# The recorder draws with no display and no build folder.
summary=$(cd "$work" && env -i PATH=/usr/bin:/bin "$prefix/bin/sph-record" --frames 2 --png pictures)
[[ $? -eq 0 && $summary == *" written: 3" && -s pictures/frame_000002.png ]] || fail "installed sph-record: '$summary'"
for program in sph-bench sph-record; do
  [[ $("$prefix/bin/$program" --version) == "$program $version" ]] ||
    fail "$program --version does not show the project's version"
done

# --- desktop entry and manual pages ---------------------------------------
output=$(desktop-file-validate "$prefix/share/applications/sph.desktop" 2>&1) && [[ -z $output ]] ||
  fail "desktop-file-validate: $output"
for program in "$prefix"/bin/*; do
  page=$prefix/share/man/man1/$(basename "$program").1.gz
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) && [[ -z $warnings ]] ||
    fail "man --warnings -l $page: $warnings"
done

# --- the Debian package ---------------------------------------------------
deb=$work/sph_${version}_$(dpkg --print-architecture).deb
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >cpack.log 2>&1 || { cat cpack.log; fail "cpack"; }
[[ -f $deb ]] || { fail "no package $deb"; exit 1; }
info=$(dpkg-deb --info "$deb")
# freeglut's library package, as this machine names it (libglut3.12 on Debian 12).
glut=$(dpkg -S "$(readlink -f "$(ldd "$prefix/bin/sph" | awk '/libglut/ { print $3 }')")" | cut -d: -f1)
[[ -n $glut ]] || fail "no package owns the freeglut library that bin/sph uses"
for pattern in "Package: sph" "Version: $version" "Maintainer: .*<.*@.*>" "Depends: .*$glut \(" \
  "Depends: (.*, )?libc6 \(" "Section: science" "Description: .+"; do
  grep -qE "^ $pattern" <<<"$info" || fail "dpkg-deb --info has no line '$pattern'"
done
# The package holds the same files as the installed tree, under /usr.
packaged=$(dpkg-deb --contents "$deb" | awk '$NF !~ /\/$/ { sub(/^\.\/usr/, ".", $NF); print $NF }' | sort)
[[ $packaged == "$installed" ]] || fail "package files differ from cmake --install's: $(diff <(echo "$installed") <(echo "$packaged"))"
if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$deb" >lintian.log 2>&1
  grep '^E:' lintian.log && fail "lintian reports errors (above)"
else
  echo "note: lintian not found, package not linted"
fi

[[ $(git -C "$source_dir" status --porcelain 2>/dev/null) == "$source_status" ]] || fail "files left in $source_dir"
((failed)) && exit 1
echo "ok: installed tree, desktop entry, manual pages and package sph_${version} checked"
