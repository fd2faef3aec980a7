// What sph-bench needs of its platform under Node.js that Emscripten's C
// library gets wrong: whether a stream is a terminal. Its file system calls
// the standard streams terminals even when they are files or pipes, so the
// progress line would land in a redirected standard error. Node knows.
#include <emscripten.h>

namespace {
EM_JS(int, isTerminalInNode, (int descriptor), { return require('tty').isatty(descriptor) ? 1 : 0; });
}  // namespace

extern "C" int isatty(int descriptor) { return isTerminalInNode(descriptor); }
