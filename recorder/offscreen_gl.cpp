#include "offscreen_gl.h"

#include <EGL/eglext.h>
#include <GL/gl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sph {

namespace {

// An RGB config with 8 bits a channel and no depth buffer, drawable into a
// pixel buffer with desktop OpenGL (immediate mode needs it).
EGLConfig chooseConfig(EGLDisplay display) {
  const EGLint wanted[] = {EGL_SURFACE_TYPE, EGL_PBUFFER_BIT, EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT,
                           EGL_RED_SIZE, 8, EGL_GREEN_SIZE, 8, EGL_BLUE_SIZE, 8, EGL_NONE};
  EGLConfig configs[256];
  EGLint count = 0;
  if (!eglChooseConfig(display, wanted, configs, 256, &count)) return nullptr;
  EGLConfig best = nullptr;
  for (EGLint k = 0; k < count; ++k) {
    EGLint red = 0, green = 0, blue = 0, depth = 0, alpha = 0;
    eglGetConfigAttrib(display, configs[k], EGL_RED_SIZE, &red);
    eglGetConfigAttrib(display, configs[k], EGL_GREEN_SIZE, &green);
    eglGetConfigAttrib(display, configs[k], EGL_BLUE_SIZE, &blue);
    eglGetConfigAttrib(display, configs[k], EGL_DEPTH_SIZE, &depth);
    eglGetConfigAttrib(display, configs[k], EGL_ALPHA_SIZE, &alpha);
    if (red != 8 || green != 8 || blue != 8 || depth != 0) continue;
    if (alpha == 0) return configs[k];
    if (best == nullptr) best = configs[k];
  }
  return best;
}

std::string eglErrorText() {
  char text[48];
  std::snprintf(text, sizeof text, "EGL error 0x%x", unsigned(eglGetError()));
  return text;
}

// Mesa's surfaceless platform needs no X server, no GPU device and no
// DISPLAY; where it is missing, the default display may still do.
EGLDisplay openDisplay() {
  const char* extensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
  if (extensions != nullptr && std::strstr(extensions, "EGL_MESA_platform_surfaceless") != nullptr)
    return eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  return eglGetDisplay(EGL_DEFAULT_DISPLAY);
}

}  // namespace

bool createOffscreenContext(OffscreenContext& gl, int width, int height, std::string& error) {
  gl.display = openDisplay();
  if (gl.display == EGL_NO_DISPLAY || !eglInitialize(gl.display, nullptr, nullptr)) {
    error = "no EGL display to draw on (Debian packages libegl1, libegl-mesa0 and libgl1-mesa-dri)";
    gl.display = EGL_NO_DISPLAY;
    return false;
  }
  const EGLConfig config = chooseConfig(gl.display);
  const EGLint size[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
  if (config == nullptr || !eglBindAPI(EGL_OPENGL_API) ||
      (gl.surface = eglCreatePbufferSurface(gl.display, config, size)) == EGL_NO_SURFACE ||
      (gl.context = eglCreateContext(gl.display, config, EGL_NO_CONTEXT, nullptr)) == EGL_NO_CONTEXT ||
      !eglMakeCurrent(gl.display, gl.surface, gl.surface, gl.context)) {
    error = config == nullptr ? "EGL offers no off-screen OpenGL surface with 8 bits a colour and no depth"
                              : "cannot make an off-screen OpenGL surface (" + eglErrorText() + ")";
    destroyOffscreenContext(gl);
    return false;
  }
  gl.width = width;
  gl.height = height;
  return true;
}

void destroyOffscreenContext(OffscreenContext& gl) {
  if (gl.display == EGL_NO_DISPLAY) return;
  eglMakeCurrent(gl.display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  if (gl.context != EGL_NO_CONTEXT) eglDestroyContext(gl.display, gl.context);
  if (gl.surface != EGL_NO_SURFACE) eglDestroySurface(gl.display, gl.surface);
  eglTerminate(gl.display);
  gl.display = EGL_NO_DISPLAY;
  gl.surface = EGL_NO_SURFACE;
  gl.context = EGL_NO_CONTEXT;
}

OffscreenContext::~OffscreenContext() { destroyOffscreenContext(*this); }

bool useOffscreenContext(const OffscreenContext& gl, std::string& error) {
  if (eglBindAPI(EGL_OPENGL_API) && eglMakeCurrent(gl.display, gl.surface, gl.surface, gl.context)) return true;
  error = "cannot draw on this thread (" + eglErrorText() + ")";
  return false;
}

void releaseOffscreenContext() { eglReleaseThread(); }

void readPicture(const OffscreenContext& gl, std::vector<uint8_t>& rgb) {
  const std::size_t row = std::size_t(gl.width) * 3;
  rgb.resize(row * std::size_t(gl.height));
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, gl.width, gl.height, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
  // OpenGL counts rows from the bottom.
  for (int y = 0; y < gl.height / 2; ++y)
    std::swap_ranges(rgb.begin() + std::ptrdiff_t(row) * y, rgb.begin() + std::ptrdiff_t(row) * (y + 1),
                     rgb.begin() + std::ptrdiff_t(row) * (gl.height - 1 - y));
}

}  // namespace sph
