# Set-up of the web build, included by the top CMakeLists.txt when CMake runs
# with Emscripten's toolchain (emcmake cmake -S . -B build-web). The same
# solver, frame, drawing and console sources are compiled for WebAssembly;
# only the page's entry and what the browser's GLUT lacks come from web/.

# Shared memory for WebAssembly threads: every object is built for it, not
# only those that start threads. Browsers that do not let a page share memory
# get a second build of the same sources without it (SPH_WEB_THREADS=OFF, a
# build tree of its own inside this one: -pthread is a global option), whose
# thread starts fail so that every range of a pass runs on the page's thread.
option(SPH_WEB_THREADS "WebAssembly threads (shared memory)" ON)
if(SPH_WEB_THREADS)
  add_compile_options(-pthread)
  add_link_options(-pthread)
endif()

# The solver's SSE2 code (the force sums), translated intrinsic by intrinsic
# into WebAssembly SIMD: the same IEEE operations lane by lane, so the same
# bits. The candidate screen and the pair terms have WebAssembly forms of
# their own; the SSSE3 and AVX2 forms are x86-64 code and are not built here
# (simd_support.h).
add_compile_options(-msimd128 -msse2)

# The micro-benchmarks time native code only.
set(SPH_BUILD_BENCH OFF CACHE BOOL "" FORCE)

# Emscripten's GLUT and its emulation of fixed-function OpenGL (immediate
# mode, matrix stacks, gluPerspective) over WebGL 1 are JavaScript libraries
# chosen at link time.
add_library(GLUT::GLUT INTERFACE IMPORTED)
target_link_options(GLUT::GLUT INTERFACE -lglut)
add_library(OpenGL::OpenGL INTERFACE IMPORTED)
target_link_options(OpenGL::OpenGL INTERFACE -sLEGACY_GL_EMULATION=1 -lGL)
add_library(OpenGL::GLU INTERFACE IMPORTED)
add_library(OpenGL::GL INTERFACE IMPORTED)
target_link_libraries(OpenGL::GL INTERFACE OpenGL::OpenGL)

# CLI11 is header-only: Debian's headers, reached through a folder that holds
# only them, since the host's /usr/include must never stand before
# Emscripten's own C library headers.
find_path(SPH_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
if(NOT SPH_CLI11_INCLUDE)
  message(FATAL_ERROR "CLI11 not found (Debian package libcli11-dev)")
endif()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/cli11)
file(CREATE_LINK ${SPH_CLI11_INCLUDE}/CLI ${CMAKE_BINARY_DIR}/cli11/CLI SYMBOLIC)
add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 INTERFACE ${CMAKE_BINARY_DIR}/cli11)

# Node.js runs sph-bench (web/CMakeLists.txt).
find_program(SPH_NODE NAMES node nodejs REQUIRED)

# Emscripten's linker runs JavaScript tools that need Node's acorn module.
# Debian installs it where Debian's Node.js looks; another Node.js
# (NodeSource's, say) is told where by NODE_PATH, on every link.
find_path(SPH_NODE_MODULES acorn/package.json PATHS /usr/share/nodejs /usr/lib/nodejs NO_CMAKE_FIND_ROOT_PATH
  NO_DEFAULT_PATH)
if(NOT SPH_NODE_MODULES)
  message(FATAL_ERROR "Node's acorn module not found (Debian package node-acorn)")
endif()
set_property(GLOBAL PROPERTY RULE_LAUNCH_LINK "${CMAKE_COMMAND} -E env NODE_PATH=${SPH_NODE_MODULES}")
