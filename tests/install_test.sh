#!/usr/bin/env bash
# The installed tree (programs, menu entry, manual pages, the Python module
# when built) and the Debian packages, checked without installing anything on
# this machine.
#   install_test.sh BUILD_DIR SOURCE_DIR [PYTHON_MODULE: 1 when built]
set -uo pipefail
build=$(cd "${1:?usage: install_test.sh BUILD_DIR SOURCE_DIR}" && pwd)
source_dir=${2:?usage: install_test.sh BUILD_DIR SOURCE_DIR}
python_module=${3:-0}
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
grep -vxE '\./bin/sph(-[a-z]+)?|\./share/man/man1/sph(-[a-z]+)?\.1\.gz|\./share/doc/(python3-)?sph/(copyright|changelog\.gz)|\./share/(applications/sph\.desktop|icons/hicolor/256x256/apps/sph\.png)|\./lib/python3\.[0-9]+/site-packages/sph/(__init__|dataset|runs|hdf5_layout|cluster)\.py|\./share/doc/python3-sph/examples/torch_dataset\.py|\./lib/python3\.[0-9]+/site-packages/sph/_sph\.cpython-[0-9a-z_-]+\.so' \
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

# --- the Python module, as Debian's Python imports it ----------------------
# Its state after the frames below is the one sph-bench dumps.
"$prefix/bin/sph-bench" --threads 2 --layers 5,6,7 --frames 7 --hold up:4-6 --dump state.csv >/dev/null
expected=$(sha256sum state.csv | cut -d' ' -f1)
check_module() {  # PACKAGES_FOLDER WHERE
  local digest
  digest=$(env -i PATH=/usr/bin:/bin PYTHONPATH="$1" /usr/bin/python3 -c '
import sph, sys
assert sph.__file__.startswith(sys.argv[1]), sph.__file__
simulation = sph.Simulation(threads=2, layers=(5, 6, 7))
simulation.step(4)
simulation.step(3, hold="up")
print(simulation.digest())' "$1" 2>&1)
  [[ $digest == "$expected" ]] || fail "import sph from $2: '$digest', sph-bench gives $expected"
  env -i PATH=/usr/bin:/bin PYTHONPATH="$1" /usr/bin/python3 -m sph.dataset --frames 2 --layers 3,3,3 \
    --out "$work/runs.npz" >/dev/null && [[ -s $work/runs.npz ]] || fail "python3 -m sph.dataset from $2"
  rm -rf "$work/set"
  env -i PATH=/usr/bin:/bin PYTHONPATH="$1" /usr/bin/python3 -m sph.dataset --format h5 --frames 2 --layers 3,3,3 \
    --out "$work/set" >/dev/null && [[ -s $work/set/metadata.json ]] || fail "python3 -m sph.dataset --format h5 from $2"
}
if ((python_module)); then
  check_module "$(echo "$prefix"/lib/python3.*/site-packages)" "the installed tree"
fi

# --- desktop entry and manual pages ---------------------------------------
output=$(desktop-file-validate "$prefix/share/applications/sph.desktop" 2>&1) && [[ -z $output ]] ||
  fail "desktop-file-validate: $output"
for program in "$prefix"/bin/*; do
  page=$prefix/share/man/man1/$(basename "$program").1.gz
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) && [[ -z $warnings ]] ||
    fail "man --warnings -l $page: $warnings"
done

# --- the Debian packages --------------------------------------------------
deb=$work/sph_${version}_$(dpkg --print-architecture).deb
python_deb=$work/python3-sph_${version}_$(dpkg --print-architecture).deb
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
debs=("$deb")
if ((python_module)); then
  [[ -f $python_deb ]] || { fail "no package $python_deb"; exit 1; }
  debs+=("$python_deb")
  info=$(dpkg-deb --info "$python_deb")
  for pattern in "Package: python3-sph" "Version: $version" "Depends: .*python3-numpy" "Depends: (.*, )?python3 \(" \
    "Recommends: python3-h5py" "Suggests: python3-distributed" "Section: python"; do
    grep -qE "^ $pattern" <<<"$info" || fail "python3-sph: dpkg-deb --info has no line '$pattern'"
  done
  dpkg-deb -x "$python_deb" root
  check_module "$work/root/usr/lib/python3/dist-packages" "the package python3-sph"
fi
# The packages hold the same files as the installed tree, under /usr, where
# Debian's Python packages go to lib/python3/dist-packages.
packaged=$(for package in "${debs[@]}"; do dpkg-deb --contents "$package"; done |
  awk '$NF !~ /\/$/ { sub(/^\.\/usr/, ".", $NF); print $NF }' | sort)
installed=$(sed -E 's#^\./lib/python3\.[0-9]+/site-packages/#./lib/python3/dist-packages/#' <<<"$installed" | sort)
[[ $packaged == "$installed" ]] || fail "package files differ from cmake --install's: $(diff <(echo "$installed") <(echo "$packaged"))"
if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "${debs[@]}" >lintian.log 2>&1
  grep '^E:' lintian.log && fail "lintian reports errors (above)"
else
  echo "note: lintian not found, package not linted"
fi

[[ $(git -C "$source_dir" status --porcelain 2>/dev/null) == "$source_status" ]] || fail "files left in $source_dir"
((failed)) && exit 1
echo "ok: installed tree, desktop entry, manual pages and packages checked: ${debs[*]##*/}"
