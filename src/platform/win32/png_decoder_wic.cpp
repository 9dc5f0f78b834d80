#include <windows.h>
#include <wincodec.h>

#include <algorithm>
#include <vector>

#include "platform/png_decoder.h"
#include "platform/win32/win_handles.h"

namespace tph {
namespace {

// COM for the duration of one decode, balanced on every path.
class ComScope {
 public:
  ComScope() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  bool usable() const { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }

 private:
  HRESULT hr_;
};

// Rows copied per CopyPixels call when the caller keeps no image, or when
// 16-bit samples pass through a scratch strip to be reduced.
constexpr UINT kStripRows = 16;

// Copies the frame strip by strip through a scratch buffer of `bytes_per_pixel`
// samples, handing each strip to `store` (first row, rows, data).
template <typename Store>
bool copy_strips(IWICBitmapSource* source, UINT width, UINT height, UINT bytes_per_pixel, Store store) {
  const UINT stride = width * bytes_per_pixel;
  std::vector<BYTE> strip(static_cast<size_t>(stride) * std::min(kStripRows, height));
  for (UINT y = 0; y < height; y += kStripRows) {
    const UINT rows = std::min(kStripRows, height - y);
    const WICRect rect{0, static_cast<INT>(y), static_cast<INT>(width), static_cast<INT>(rows)};
    if (FAILED(source->CopyPixels(&rect, stride, stride * rows, strip.data()))) return false;
    store(y, rows, strip.data());
  }
  return true;
}

// 16-bit images are copied in their own format and reduced here as
// (v + 128) / 257, so both builds agree on every sample.
int wide_channels(const WICPixelFormatGUID& format) {
  if (IsEqualGUID(format, GUID_WICPixelFormat64bppRGBA)) return 4;
  if (IsEqualGUID(format, GUID_WICPixelFormat48bppRGB)) return 3;
  if (IsEqualGUID(format, GUID_WICPixelFormat16bppGray)) return 1;
  return 0;
}

bool copy_16bit(IWICBitmapSource* frame, int channels, UINT width, UINT height, uint8_t* bgrx) {
  return copy_strips(frame, width, height, channels * 2, [&](UINT y, UINT rows, const BYTE* strip) {
    if (!bgrx) return;
    const auto* s = reinterpret_cast<const uint16_t*>(strip);
    uint8_t* d = bgrx + static_cast<size_t>(y) * width * 4;
    for (size_t i = 0, n = static_cast<size_t>(rows) * width; i < n; ++i, s += channels, d += 4) {
      if (channels == 1) {
        d[0] = d[1] = d[2] = reduce_sample16(s[0]);
      } else {
        d[0] = reduce_sample16(s[2]);
        d[1] = reduce_sample16(s[1]);
        d[2] = reduce_sample16(s[0]);
      }
    }
  });
}

}  // namespace

bool platform_decode_png(const uint8_t* data, size_t size, uint32_t width, uint32_t height, uint8_t* bgrx) {
  ComScope com;
  if (!com.usable()) return false;
  win::ComPtr<IWICImagingFactory> factory;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                              reinterpret_cast<void**>(factory.out())))) {
    return false;
  }
  win::ComPtr<IWICStream> stream;
  if (FAILED(factory->CreateStream(stream.out()))) return false;
  if (FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(data), static_cast<DWORD>(size)))) return false;
  win::ComPtr<IWICBitmapDecoder> decoder;
  if (FAILED(factory->CreateDecoder(GUID_ContainerFormatPng, nullptr, decoder.out()))) return false;
  // Metadata is never read: the file holds none by now, and none is printed.
  if (FAILED(decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand))) return false;
  win::ComPtr<IWICBitmapFrameDecode> frame;
  if (FAILED(decoder->GetFrame(0, frame.out()))) return false;
  UINT w = 0, h = 0;
  if (FAILED(frame->GetSize(&w, &h)) || w != width || h != height) return false;
  WICPixelFormatGUID format{};
  if (FAILED(frame->GetPixelFormat(&format))) return false;
  if (size > 24 && data[24] == 16) {
    if (int channels = wide_channels(format)) return copy_16bit(frame.get(), channels, w, h, bgrx);
  }

  win::ComPtr<IWICFormatConverter> converter;
  if (FAILED(factory->CreateFormatConverter(converter.out()))) return false;
  if (FAILED(converter->Initialize(frame.get(), GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom))) {
    return false;
  }
  if (!bgrx) return copy_strips(converter.get(), w, h, 4, [](UINT, UINT, const BYTE*) {});
  // Straight into the device raster: no intermediate image of our own.
  const size_t bytes = static_cast<size_t>(w) * h * 4;
  return SUCCEEDED(converter->CopyPixels(nullptr, w * 4, static_cast<UINT>(bytes), bgrx));
}

}  // namespace tph
