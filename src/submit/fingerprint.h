#pragma once
// The output fingerprint: what identifies the output of an attempt, so that
// a repeated intent_id is recognised as the same output or refused as other.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/host_error.h"

namespace tph {

// What identifies the output of an attempt, as stored in its record.
struct OutputIdentity {
  // SHA-256, as 64 lower-case hexadecimal digits, over a domain tag naming the
  // kind of job and then each field with its length: the body, the printer,
  // whether there is a media token and the token, dpi (4 bytes LE) and copies
  // (2 bytes LE). Written into new records.
  std::string fingerprint;
  // The layout of records written before the domain tag and the lengths:
  // SHA-256 over the PNG, printer, media, dpi and copies joined with no
  // boundary. Bytes could move between printer and media without changing
  // it, so it only identifies an output together with the record's stored
  // printer. Empty for kinds of job that never had it.
  std::string legacy_fingerprint;
};

inline constexpr std::string_view kPngFingerprintDomain = "tavelin.print/png";

// The current layout, for any kind of job (`domain` keeps kinds apart).
// SUBMISSION_REJECTED when the platform's SHA-256 failed: the request fails
// rather than share one made-up fingerprint with every other label.
Result<std::string> output_fingerprint(std::string_view domain, std::string_view body, const std::string& printer,
                               const std::optional<std::string>& media, uint32_t dpi, uint16_t copies);

// Both fingerprints of a PNG label.
Result<OutputIdentity> compute_output_fingerprint(const std::string& png, const std::string& printer,
                                          const std::optional<std::string>& media, uint32_t dpi, uint16_t copies);

inline constexpr std::string_view kRawFingerprintDomain = "tavelin.print/raw";
inline constexpr std::string_view kDocumentFingerprintDomain = "tavelin.print/document";

// A document's fingerprint: as output_fingerprint, with the page count
// (8 bytes LE) and then every page with its length in place of the body.
Result<std::string> document_fingerprint(const std::vector<std::string>& pages, const std::string& printer,
                                                const std::optional<std::string>& media, uint32_t dpi,
                                                uint16_t copies);

}  // namespace tph
