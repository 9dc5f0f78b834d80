#include "submit/label_placement.h"

#include <limits>

namespace tph {

LabelPlacement place_label(const DocumentGeometry& device, uint32_t raster_width, uint32_t raster_height,
                           uint32_t dpi) {
  LabelPlacement p;
  const int horz_res = device.printable_width;
  const int vert_res = device.printable_height;
  const int64_t lx = device.dpi_x && *device.dpi_x > 0 ? *device.dpi_x : dpi;
  const int64_t ly = device.dpi_y && *device.dpi_y > 0 ? *device.dpi_y : dpi;
  if (dpi == 0) return p;
  p.natural_width = lx * raster_width / dpi;
  p.natural_height = ly * raster_height / dpi;
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  // A label larger than a device coordinate can express cannot be drawn; this
  // also keeps the products below within 64 bits.
  if (vert_res <= 0 || horz_res <= 0 || p.natural_width <= 0 || p.natural_height <= 0 || p.natural_width > kMax ||
      p.natural_height > kMax) {
    return p;
  }
  int64_t w = p.natural_width;
  int64_t h = p.natural_height;
  if (w > horz_res || h > vert_res) {
    const int64_t a = static_cast<int64_t>(vert_res) * p.natural_width;
    const int64_t b = static_cast<int64_t>(horz_res) * p.natural_height;
    if (a < b) {
      h = vert_res;
      w = a / p.natural_height;
      if (w == 0) w = 1;
    } else {
      w = horz_res;
      h = b / p.natural_width;
      if (h == 0) h = 1;
    }
  }
  if (4 * w < 3 * p.natural_width || 4 * h < 3 * p.natural_height) return p;
  p.fits = true;
  p.width = static_cast<int32_t>(w);
  p.height = static_cast<int32_t>(h);
  p.x = static_cast<int32_t>((horz_res - w) / 2);
  p.y = static_cast<int32_t>((vert_res - h) / 2);
  return p;
}

}  // namespace tph
