#include "parameters.h"

namespace sph {

float GRAVITY_X = INITIAL_GRAVITY_X;
float GRAVITY_Y = INITIAL_GRAVITY_Y;
float GRAVITY_Z = INITIAL_GRAVITY_Z;

}  // namespace sph
