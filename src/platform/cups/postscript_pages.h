#pragma once
// A PostScript document whose pages are each one image, written out as it is
// made: the header with the first page, each page's image row by row through
// deflate and ASCII85, then the trailer.
//
// Written here rather than drawn with a graphics library: the document is
// nothing but placed images, and a library's PostScript surface records each
// page, copies its image, analyses it and spools the page to a temporary file
// before it writes a byte, which cost a label more than its decoding.

#include <cstdint>
#include <functional>
#include <string>

#include "platform/os_status.h"

namespace tph::cups {

// Where an image goes on the page, in points from the page's top left.
struct ImageBox {
  double left = 0, top = 0, width = 0, height = 0;
};

// How a page's pixels are written: black and white as one bit a pixel, grey
// as one byte, anything else as three. Found from the pixels, so a label
// drawn in black on white costs a bit a pixel whatever its PNG held.
enum class ImageKind { kBlackWhite, kGrey, kColour };

// The kind that writes these pixels (blue, green, red, any) exactly.
ImageKind image_kind(const uint8_t* bgrx, uint32_t width, uint32_t height);

class PostScriptPages {
 public:
  // Receives the document's bytes in order; a failure stops the document.
  using Sink = std::function<OsStatus(const char* data, size_t size)>;

  // A document on pages of `width` x `height` points.
  PostScriptPages(double width, double height, Sink sink);

  // One page: the image of `width` x `height` pixels (blue, green, red, any;
  // rows top to bottom) filling `box`, each pixel as it is. The header goes
  // out with the first page, so nothing reaches the sink before a page does.
  OsStatus page(const ImageBox& box, uint32_t width, uint32_t height, const uint8_t* bgrx);

  // The trailer; the document is complete once it is sent.
  OsStatus finish();

  // Bytes handed to the sink so far, a failed call's included.
  uint64_t bytes_sent() const { return bytes_sent_; }

 private:
  // The comments, prolog and setup that open the document.
  std::string header() const;
  OsStatus send(const std::string& text);

  double width_, height_;
  Sink sink_;
  uint32_t pages_ = 0;
  uint64_t bytes_sent_ = 0;
};

}  // namespace tph::cups
