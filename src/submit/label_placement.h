#pragma once
#include <cstdint>

namespace tph {

// Where a label goes on the page, in device pixels.
struct LabelPlacement {
  bool fits = false;
  int64_t natural_width = 0;
  int64_t natural_height = 0;
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
};

// The label at its physical size (raster pixels at `dpi` on a device with
// `log_pixels_x/y` pixels per inch; values <= 0 are replaced by `dpi`),
// shrunk uniformly to the printable area when needed but never below three
// quarters of that size in either direction, centred. Never rotated.
LabelPlacement place_label(int log_pixels_x, int log_pixels_y, int horz_res, int vert_res, uint32_t raster_width,
                           uint32_t raster_height, uint32_t dpi);

}  // namespace tph
