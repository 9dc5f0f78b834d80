#pragma once
#include <cstdint>

#include "platform/print_document.h"

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

// The label at its physical size (raster pixels at `dpi` on the device's
// resolution; a device that does not say its resolution takes `dpi`),
// shrunk uniformly to the printable area when needed but never below three
// quarters of that size in either direction, centred. Never rotated.
LabelPlacement place_label(const DocumentGeometry& device, uint32_t raster_width, uint32_t raster_height,
                           uint32_t dpi);

}  // namespace tph
