#include "point_files.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/scene.h"
#include "solver/passes.h"

namespace sph {

namespace {

static_assert(TIME_STEP == 0.4f, "formatPvd writes frame times for a time step of 0.4");
static_assert(sizeof(float) == 4 && sizeof(int32_t) == 4 && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the files are written as little-endian 32-bit values straight from memory");

template <class T>
void append(std::string& bytes, const T& value) {
  bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace

std::string frameName(int32_t frame) {
  char name[32];
  std::snprintf(name, sizeof name, "frame_%06d", int(frame));
  return name;
}

std::string formatVtu(const Particle* const p, const int32_t n) {
  // Each array of the appended block is its length in bytes, then the data.
  uint64_t offset = 0;
  auto array = [&](const char* type, const char* name, int components, uint64_t bytesPerParticle) {
    const std::string line = std::string("        <DataArray type=\"") + type + "\" Name=\"" + name + "\"" +
                             (components > 1 ? " NumberOfComponents=\"" + std::to_string(components) + "\"" : "") +
                             " format=\"appended\" offset=\"" + std::to_string(offset) + "\"/>\n";
    offset += sizeof(uint64_t) + bytesPerParticle * uint64_t(n);
    return line;
  };
  std::string bytes =
      "<?xml version=\"1.0\"?>\n"
      "<VTKFile type=\"UnstructuredGrid\" version=\"1.0\" byte_order=\"LittleEndian\" header_type=\"UInt64\">\n"
      "  <UnstructuredGrid>\n    <Piece NumberOfPoints=\"" + std::to_string(n) + "\" NumberOfCells=\"" +
      std::to_string(n) + "\">\n      <Points>\n";
  // One statement each: the offsets follow the order of the calls.
  bytes += array("Float32", "Points", 3, 12);
  bytes += "      </Points>\n      <Cells>\n";
  bytes += array("Int32", "connectivity", 1, 4);
  bytes += array("Int32", "offsets", 1, 4);
  bytes += array("UInt8", "types", 1, 1);
  bytes += "      </Cells>\n      <PointData>\n";
  bytes += array("Float32", "velocity", 3, 12);
  bytes += array("Float32", "density", 1, 4);
  bytes += array("Float32", "pressure", 1, 4);
  bytes += array("Int32", "id", 1, 4);
  bytes += "      </PointData>\n    </Piece>\n  </UnstructuredGrid>\n  <AppendedData encoding=\"raw\">\n   _";
  bytes.reserve(bytes.size() + offset + 32);
  auto block = [&](uint64_t bytesPerParticle) { append(bytes, bytesPerParticle * uint64_t(n)); };
  block(12);
  for (int32_t k = 0; k < n; ++k) bytes.append(reinterpret_cast<const char*>(p[k].position), 12);
  block(4);
  for (int32_t k = 0; k < n; ++k) append(bytes, k);  // cell k is the vertex k
  block(4);
  for (int32_t k = 1; k <= n; ++k) append(bytes, k);
  block(1);
  bytes.append(std::size_t(n), char(1));  // VTK_VERTEX
  block(12);
  for (int32_t k = 0; k < n; ++k) bytes.append(reinterpret_cast<const char*>(p[k].velocity), 12);
  block(4);
  for (int32_t k = 0; k < n; ++k) append(bytes, p[k].density);
  block(4);
  for (int32_t k = 0; k < n; ++k) append(bytes, p[k].pressure);
  block(4);
  for (int32_t k = 0; k < n; ++k) append(bytes, p[k].id);
  return bytes + "\n  </AppendedData>\n</VTKFile>\n";
}

std::string formatPly(const Particle* const particles, const int32_t count) {
  std::string bytes = "ply\nformat binary_little_endian 1.0\ncomment sph particles, world units, y up\nelement vertex " +
                      std::to_string(count) + "\n";
  for (const char* name : {"x", "y", "z", "vx", "vy", "vz", "density", "pressure"})
    bytes += std::string("property float ") + name + "\n";
  // The colour the window gives the point, as the standard properties that
  // readers which ignore named ones (MeshLab, CloudCompare) show.
  bytes += "property int id\nproperty uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n";
  for (int32_t k = 0; k < count; ++k) {
    const Particle& p = particles[k];
    bytes.append(reinterpret_cast<const char*>(p.position), 12);
    bytes.append(reinterpret_cast<const char*>(p.velocity), 12);
    append(bytes, p.density);
    append(bytes, p.pressure);
    append(bytes, p.id);
    // OpenGL's conversion to 8 bits: clamped, scaled and rounded.
    const uint8_t blue = uint8_t(std::lround(std::min(1.0, double(pointBlue(p.velocity))) * 255.0));
    bytes += {char(0), char(0), char(blue)};
  }
  return bytes;
}

std::string formatPvd(const std::vector<int32_t>& frames) {
  std::string text =
      "<?xml version=\"1.0\"?>\n"
      "<VTKFile type=\"Collection\" version=\"0.1\" byte_order=\"LittleEndian\">\n  <Collection>\n";
  for (const int32_t frame : frames) {
    // Frame times the time step of 0.4: 4 tenths a frame, written exactly.
    const long long tenths = 4LL * frame;
    text += "    <DataSet timestep=\"" + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) +
            "\" group=\"\" part=\"0\" file=\"" + frameName(frame) + ".vtu\"/>\n";
  }
  return text + "  </Collection>\n</VTKFile>\n";
}

}  // namespace sph
