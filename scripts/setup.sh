#!/usr/bin/env bash
# Installs what the project needs from Debian's packages (only what is
# missing), using sudo when not root. Safe to run again.
#   setup.sh [GROUP...]   GROUP: native (the default), web, web-tests, plots
set -euo pipefail

native=(
  build-essential cmake            # compiler and build
  freeglut3-dev libglu1-mesa-dev libgl1-mesa-dev libgl1-mesa-dri  # window and drawing
  libegl-dev libegl-mesa0 libpng-dev libcli11-dev ffmpeg            # headless tools: drawing, PNG, command line, films
  libgtest-dev libbenchmark-dev libssl-dev acl                      # tests, benchmarks, SHA-256, access lists
  python3 python3-numpy python3-meshio                              # tools tests, reading the data back
  python3-dev pybind11-dev python3-pybind11 python3-pytest          # the Python module and its tests
  python3-h5py python3-distributed python3-psutil                  # sph.dataset's HDF5 folders, Dask runs, its tests
  xvfb xdotool imagemagick x11-utils                                # window test
  qemu-user                                                         # the programs on an older processor
  dpkg-dev file desktop-file-utils man-db lintian                   # Debian package, install test
  time                                                              # peak memory (scripts/performance_page.py)
)
web=(
  make cmake libcli11-dev python3  # the web build's own build tools; the server
  emscripten nodejs node-acorn     # the compiler for WebAssembly and the JavaScript tools it runs
)
web_tests=(
  chromium chromium-driver python3-selenium   # the page in headless Chromium
  firefox-esr python3-websockets              # in Firefox, through its own WebDriver BiDi
  webkit2gtk-driver libwebkit2gtk-4.1-0 xvfb  # in WebKitGTK; both in a virtual X server
  imagemagick python3-numpy                   # its pictures read back
)
plots=(
  python3-numpy python3-matplotlib  # the dam-break plot (scripts/dam_break.py)
)

packages=()
for group in "${@:-native}"; do
  case $group in
    native) packages+=("${native[@]}") ;;
    web) packages+=("${web[@]}") ;;
    web-tests) packages+=("${web_tests[@]}") ;;
    plots) packages+=("${plots[@]}") ;;
    *) echo "setup.sh: unknown group '$group' (native, web, web-tests or plots)" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing: ${missing[*]}" >&2
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
