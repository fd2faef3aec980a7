// The particles of one frame as files for other programs: a VTK XML
// unstructured grid (.vtu, one vertex cell a particle) with a ParaView
// collection (.pvd) that makes the frames one animation, and a binary PLY
// point cloud. Both carry, per particle, the position and the velocity
// (world units, y up: Blender, z up, imports them with Up = Y), density,
// pressure and id, as little-endian 32-bit floats (id: 32-bit integer), the
// bits the simulation holds. The PLY file also carries the point's colour in
// the picture as the standard red, green and blue bytes: many readers of
// point clouds keep only the position and those.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "solver/fluid_system.h"

namespace sph {

std::string formatVtu(const Particle* particles, int32_t count);
std::string formatPly(const Particle* particles, int32_t count);

// A collection listing frame_NNNNNN.vtu for each of `frames`, each at its
// simulation time: the frame number times the time step.
std::string formatPvd(const std::vector<int32_t>& frames);

// "frame_000042" and the like.
std::string frameName(int32_t frame);

}  // namespace sph
