// Drawing with no display: an OpenGL context on an off-screen surface through
// EGL, with Mesa's software renderer where there is no GPU (a GPU's EGL works
// the same way). The surface is made like the window's: 8 bits a colour
// channel and no depth buffer, so the same calls give the same pixels.
#pragma once

#include <EGL/egl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sph {

struct OffscreenContext {
  EGLDisplay display = EGL_NO_DISPLAY;
  EGLSurface surface = EGL_NO_SURFACE;
  EGLContext context = EGL_NO_CONTEXT;
  int width = 0, height = 0;
  ~OffscreenContext();  // destroyOffscreenContext
};

// Creates the context and makes it current on this thread; on failure
// returns false with the reason in `error`.
bool createOffscreenContext(OffscreenContext& gl, int width, int height, std::string& error);
void destroyOffscreenContext(OffscreenContext& gl);

// Makes the context current on the calling thread (EGL binds one per thread
// and per API), or lets it go; a context is current on one thread at a time.
bool useOffscreenContext(const OffscreenContext& gl, std::string& error);
void releaseOffscreenContext();

// What has been drawn, as RGB rows from the top, 3 bytes a pixel.
void readPicture(const OffscreenContext& gl, std::vector<uint8_t>& rgb);

}  // namespace sph
