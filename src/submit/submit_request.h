#pragma once
// The submit payload, its binding from JSON and its field checks.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/host_error.h"
#include "support/protocol_limits.h"

namespace tph {

// The most label pixels one request may print, every page of every copy
// counted: about a minute and a half of rendering and sending here, so that
// no request holds the host (and every client behind it) for longer.
inline constexpr uint64_t kMaxPixelsPerRequest = protocol_limits::kMaxPixelsPerRequest;

struct RasterPayload {
  std::string format;
  std::string base64;
  uint32_t width_px = 0;
  uint32_t height_px = 0;
};

// What every PNG print message names: the attempt, where and how it prints.
struct PngAttemptFields {
  std::string intent_id;
  std::string printer;
  std::string title;
  uint16_t copies = 1;
  std::optional<std::string> media;
  uint32_t dpi = 0;
};

// One label.
struct SubmitRequest : PngAttemptFields {
  RasterPayload payload;
};

// One attempt of several PNG pages, printed as one job in order.
struct DocumentRequest : PngAttemptFields {
  std::vector<RasterPayload> pages;
};

inline constexpr size_t kMaxDocumentPages = protocol_limits::kMaxDocumentPages;

// The field checks, in their fixed order; the first failure is returned.
Status validate_submit_request(const SubmitRequest& request);

// The checks of submit, with every page's raster checked like submit's and
// named by its position ("Page 2: ...").
Status validate_document_request(const DocumentRequest& request);

// The checks every print message shares, in this order: intent_id, printer,
// title, copies.
Status validate_attempt_fields(const std::string& intent_id, const std::string& printer, const std::string& title,
                               uint16_t copies);

// 1..max_bytes bytes and no control character (U+0000-U+001F, U+007F-U+009F).
bool is_valid_text_field(std::string_view value, size_t max_bytes);
// 1..128 bytes of ASCII letters, digits, "-", ".", "_".
bool is_valid_media_token(std::string_view value);

}  // namespace tph
