#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three
# times: a Release build (everything, including the window test under Xvfb
# and the install test), an AddressSanitizer + UndefinedBehaviorSanitizer
# build (all but those two), and a ThreadSanitizer build (the tests that start
# threads, whose names contain Threaded); then the web build and its tests
# (the WebAssembly solver under Node.js, threaded and single-thread; the page
# in Chromium, Firefox ESR and WebKitGTK).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" native web web-tests

run_ctest() {
  ctest --test-dir "$1" --output-on-failure --timeout 600 -j2 "${@:2}"
}

echo "== Release build: all tests"
"$root/scripts/build.sh" "$root/build"
run_ctest "$root/build"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: all tests but the window program, the install, the emulated processor and the programs killed outright"
"$root/scripts/build.sh" "$root/build-asan" -DSANITIZE=address -DSPH_BUILD_BENCH=OFF
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
run_ctest "$root/build-asan" -E "window_program|install|tools.Record$|tools.OldProcessor|tools.WholeOrNothing"
# Mesa's software renderer, unloaded when the recorder's drawing context ends,
# leaves a few small blocks that LeakSanitizer can no longer name.
ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=0 run_ctest "$root/build-asan" -R "tools.Record$"

echo "== ThreadSanitizer: the tests that start threads"
"$root/scripts/build.sh" "$root/build-tsan" -DSANITIZE=thread -DSPH_BUILD_BENCH=OFF
# Without address-space randomisation TSan's shadow memory always fits.
TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R \
  ctest --test-dir "$root/build-tsan" --output-on-failure --timeout 600 -j2 -R Threaded

echo "== Web build: the WebAssembly solver's digests under Node.js, the page in Chromium, Firefox ESR and WebKitGTK"
"$root/scripts/web_build.sh" "$root/build-web"
run_ctest "$root/build-web"
