#include <windows.h>
#include <wincodec.h>

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

uint8_t reduce16(uint16_t v) { return static_cast<uint8_t>((v + 128u) / 257u); }

// 16-bit images are copied in their own format and reduced here as
// (v + 128) / 257, so both builds agree on every sample.
bool copy_16bit(IWICBitmapSource* frame, const WICPixelFormatGUID& format, RgbaImage& out) {
  const size_t pixels = static_cast<size_t>(out.width) * out.height;
  int channels = 0;
  if (IsEqualGUID(format, GUID_WICPixelFormat64bppRGBA)) channels = 4;
  else if (IsEqualGUID(format, GUID_WICPixelFormat48bppRGB)) channels = 3;
  else if (IsEqualGUID(format, GUID_WICPixelFormat16bppGray)) channels = 1;
  else return false;
  const UINT stride = out.width * channels * 2;
  std::vector<uint16_t> wide(pixels * channels);
  if (FAILED(frame->CopyPixels(nullptr, stride, static_cast<UINT>(wide.size() * 2),
                               reinterpret_cast<BYTE*>(wide.data())))) {
    return false;
  }
  out.pixels.resize(pixels * 4);
  for (size_t i = 0; i < pixels; ++i) {
    const uint16_t* s = &wide[i * channels];
    uint8_t* d = &out.pixels[i * 4];
    if (channels == 1) {
      d[0] = d[1] = d[2] = reduce16(s[0]);
      d[3] = 255;
    } else {
      d[0] = reduce16(s[0]);
      d[1] = reduce16(s[1]);
      d[2] = reduce16(s[2]);
      d[3] = channels == 4 ? reduce16(s[3]) : 255;
    }
  }
  return true;
}

}  // namespace

bool platform_decode_png(const uint8_t* data, size_t size, RgbaImage& out) {
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
  if (FAILED(decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand))) return false;
  win::ComPtr<IWICBitmapFrameDecode> frame;
  if (FAILED(decoder->GetFrame(0, frame.out()))) return false;
  UINT w = 0, h = 0;
  if (FAILED(frame->GetSize(&w, &h))) return false;
  out.width = w;
  out.height = h;
  WICPixelFormatGUID format{};
  if (FAILED(frame->GetPixelFormat(&format))) return false;
  if (size > 24 && data[24] == 16 && copy_16bit(frame.get(), format, out)) return true;

  win::ComPtr<IWICFormatConverter> converter;
  if (FAILED(factory->CreateFormatConverter(converter.out()))) return false;
  if (FAILED(converter->Initialize(frame.get(), GUID_WICPixelFormat32bppRGBA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom))) {
    return false;
  }
  out.pixels.resize(static_cast<size_t>(w) * h * 4);
  return SUCCEEDED(converter->CopyPixels(nullptr, w * 4, static_cast<UINT>(out.pixels.size()), out.pixels.data()));
}

}  // namespace tph
