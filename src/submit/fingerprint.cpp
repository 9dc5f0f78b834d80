#include "submit/fingerprint.h"

#include <array>

#include "platform/sha256.h"
#include "support/error_catalogue.h"

namespace tph {
namespace {

// The digest in hex; a digest the platform could not compute fails the
// request rather than share one made-up fingerprint with every other label.
Result<std::string> hex_of(const OsResult<std::array<uint8_t, 32>>& computed) {
  if (!computed.ok()) return errors::make(errors::kSubmissionRejected, errors::kMsgFingerprintFailed);
  const std::array<uint8_t, 32>& digest = computed.value();
  static const char* kHex = "0123456789abcdef";
  std::string out;
  out.reserve(64);
  for (uint8_t b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

void update_le(Sha256& sha, uint64_t v, int bytes) {
  uint8_t le[8];
  for (int i = 0; i < bytes; ++i) le[i] = static_cast<uint8_t>(v >> (8 * i));
  sha.update(le, static_cast<size_t>(bytes));
}

// A field with its length in front, so no byte can move from one field to
// the next without changing the digest.
void update_field(Sha256& sha, std::string_view bytes) {
  update_le(sha, bytes.size(), 8);
  sha.update(bytes.data(), bytes.size());
}

// The fields after the body, the same for every kind of job.
Result<std::string> finish_fingerprint(Sha256& sha, const std::string& printer,
                                              const std::optional<std::string>& media, uint32_t dpi, uint16_t copies) {
  update_field(sha, printer);
  const uint8_t has_media = media ? 1 : 0;
  sha.update(&has_media, 1);
  if (media) update_field(sha, *media);
  update_le(sha, dpi, 4);
  update_le(sha, copies, 2);
  return hex_of(sha.finish());
}

}  // namespace

Result<std::string> output_fingerprint(std::string_view domain, std::string_view body, const std::string& printer,
                               const std::optional<std::string>& media, uint32_t dpi, uint16_t copies) {
  Sha256 sha;
  update_field(sha, domain);
  update_field(sha, body);
  return finish_fingerprint(sha, printer, media, dpi, copies);
}

Result<std::string> document_fingerprint(const std::vector<std::string>& pages, const std::string& printer,
                                                const std::optional<std::string>& media, uint32_t dpi,
                                                uint16_t copies) {
  Sha256 sha;
  update_field(sha, kDocumentFingerprintDomain);
  update_le(sha, pages.size(), 8);
  for (const std::string& page : pages) update_field(sha, page);
  return finish_fingerprint(sha, printer, media, dpi, copies);
}

Result<OutputIdentity> compute_output_fingerprint(const std::string& png, const std::string& printer,
                                                         const std::optional<std::string>& media, uint32_t dpi,
                                                         uint16_t copies) {
  Result<std::string> current = output_fingerprint(kPngFingerprintDomain, png, printer, media, dpi, copies);
  Sha256 sha;
  sha.update(png.data(), png.size());
  sha.update(printer.data(), printer.size());
  if (media) sha.update(media->data(), media->size());
  update_le(sha, dpi, 4);
  update_le(sha, copies, 2);
  Result<std::string> legacy = hex_of(sha.finish());
  if (!current.ok()) return current.take_error();
  if (!legacy.ok()) return legacy.take_error();
  return OutputIdentity{std::move(current.value()), std::move(legacy.value())};
}

}  // namespace tph
