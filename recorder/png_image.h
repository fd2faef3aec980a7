// A picture as a PNG file's bytes, encoded by libpng.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sph {

// `rgb`: rows from the top, 3 bytes a pixel. False only when libpng runs
// out of memory.
bool encodePng(const std::vector<uint8_t>& rgb, int width, int height, std::string& bytes);

}  // namespace sph
