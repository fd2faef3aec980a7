// Model constants of the fluid solver.
//
// Every stored value is a single-precision float. Derived values are formed
// in double precision from the single-precision inputs and rounded once when
// stored; a few are deliberately single-precision products (TIME_STEP_SQ, the
// initial GRAVITY_Y, the 0.3 cube inside PARTICLE_VOLUME) because that is
// the rounding the reference trajectories were computed with. They are all
// constexpr, so they exist before any code runs and cannot be read early.
#pragma once

namespace sph {

// Single-precision pi, carried as a double where it enters a derivation.
inline constexpr double PI = double(3.1415927f);

// Base constants.
inline constexpr float SMOOTHING_LENGTH = 3.85f;
inline constexpr float INV_REST_DENSITY = float(1.0 / double(0.35f));
inline constexpr float TIME_STEP_SQ = 0.4f * 0.4f;  // single product, not 0.16f
inline constexpr float INV_TIME_STEP = 2.5f;
inline constexpr float WORLD_SCALE = 1200.0f;
inline constexpr float WALL_RANGE = 2.1f;
inline constexpr float RENDER_SCALE_INV = float(1.0 / double(0.07f));

// Derived constants, each from values above.
inline constexpr float BOX_X = float(double(WORLD_SCALE) * double(0.28f));
inline constexpr float BOX_Y = float(double(WORLD_SCALE) * double(0.28f));
inline constexpr float BOX_Z = float(double(WORLD_SCALE) * double(0.28f));
inline constexpr float INV_WALL_RANGE = float(1.0 / double(WALL_RANGE));
inline constexpr float H2 = float(double(SMOOTHING_LENGTH) * double(SMOOTHING_LENGTH));
inline constexpr float H3 = float(double(SMOOTHING_LENGTH) * double(H2));
inline constexpr float INV_H = float(1.0 / double(SMOOTHING_LENGTH));
inline constexpr float POLY6 =
    float(315.0 / (((64.0 * PI * double(H3)) * double(H3)) * double(H3)));
inline constexpr float SPIKY_GRAD = float(-45.0 / ((PI * double(H3)) * double(H3)));
inline constexpr float POLY6_GRAD = float(double(POLY6) * -6.0);
// Volume of a sphere of radius 0.3 h; 0.3 cubed in single precision.
inline constexpr float PARTICLE_VOLUME =
    float(((double(H3) * double(4.0f / 3.0f)) * double(0.3f * 0.3f * 0.3f)) * PI);

// Gravity starts at 0.07 x (-0, -0.6, -0) in single precision and is then
// rewritten after every step from the camera angles (see app/frame.h).
inline constexpr float INITIAL_GRAVITY_X = float(double(0.07f) * -0.0);
inline constexpr float INITIAL_GRAVITY_Y = 0.07f * -0.6f;
inline constexpr float INITIAL_GRAVITY_Z = float(double(0.07f) * -0.0);

// The only run-time variables of the model. Written between steps on the
// main thread only; read by the force pass.
extern float GRAVITY_X;
extern float GRAVITY_Y;
extern float GRAVITY_Z;

}  // namespace sph
