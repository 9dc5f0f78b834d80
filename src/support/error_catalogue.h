#pragma once
// Every error code and every fixed message the print host can answer with, in
// one place. Templates are filled by the helpers below; context sentences are
// joined with a system error description by support/system_error.h.

#include <string>
#include <string_view>

#include "support/host_error.h"

namespace tph::errors {

// Codes.
inline constexpr ErrorCode kBadRequest = ErrorCode::kBadRequest;
inline constexpr ErrorCode kPayloadTooLarge = ErrorCode::kPayloadTooLarge;
inline constexpr ErrorCode kProtocolMismatch = ErrorCode::kProtocolMismatch;
inline constexpr ErrorCode kUnknownMessage = ErrorCode::kUnknownMessage;
inline constexpr ErrorCode kIntentConflict = ErrorCode::kIntentConflict;
inline constexpr ErrorCode kAttemptFailed = ErrorCode::kAttemptFailed;
inline constexpr ErrorCode kUnknownOutcome = ErrorCode::kUnknownOutcome;
inline constexpr ErrorCode kSubmissionRejected = ErrorCode::kSubmissionRejected;
inline constexpr ErrorCode kPrinterUnavailable = ErrorCode::kPrinterUnavailable;
inline constexpr ErrorCode kMediaUnsupported = ErrorCode::kMediaUnsupported;
inline constexpr ErrorCode kMediaMismatch = ErrorCode::kMediaMismatch;
inline constexpr ErrorCode kPrintSystemUnavailable = ErrorCode::kPrintSystemUnavailable;
inline constexpr ErrorCode kJobNotFound = ErrorCode::kJobNotFound;
inline constexpr ErrorCode kStateCorrupt = ErrorCode::kStateCorrupt;
inline constexpr ErrorCode kStateVersion = ErrorCode::kStateVersion;
inline constexpr ErrorCode kStateUnavailable = ErrorCode::kStateUnavailable;
inline constexpr ErrorCode kIoError = ErrorCode::kIoError;
inline constexpr ErrorCode kFleetUnavailable = ErrorCode::kFleetUnavailable;
inline constexpr ErrorCode kIntentInProgress = ErrorCode::kIntentInProgress;
// Stored in job records by restart recovery; never the code of a response.
inline constexpr ErrorCode kHostRestarted = ErrorCode::kHostRestarted;

// Fixed messages.
inline constexpr std::string_view kMsgFleetNoAnswer = "The fleet's shared ledger could not be reached.";
inline constexpr std::string_view kMsgFleetRefused = "The fleet's shared ledger refused this station.";
inline constexpr std::string_view kMsgFleetUnreadable = "The fleet's shared ledger holds a record this host cannot read.";
inline constexpr std::string_view kMsgNothingPrinted = " Nothing was printed.";
inline constexpr std::string_view kMsgIntentInProgress = "Another station is printing this attempt now.";
inline constexpr std::string_view kMsgNotProtocolJson = "The native message is not valid protocol JSON.";
inline constexpr std::string_view kMsgMediaChars = "media contains unsupported characters.";
inline constexpr std::string_view kMsgPngOnly = "Protocol 1 accepts PNG labels only.";
inline constexpr std::string_view kMsgCopies = "Copies must be between 1 and 10.";
inline constexpr std::string_view kMsgDpi = "DPI must be between 72 and 1200.";
inline constexpr std::string_view kMsgRasterRange = "Raster dimensions are outside the supported range.";
inline constexpr std::string_view kMsgNotBase64 = "The raster payload is not valid base64.";
inline constexpr std::string_view kMsgNotPng = "The raster payload is not a PNG.";
inline constexpr std::string_view kMsgPngDimensions = "The PNG has invalid dimensions.";
inline constexpr std::string_view kMsgDeclaredMismatch = "Declared raster dimensions do not match the PNG.";
inline constexpr std::string_view kMsgInvalidPng = "The raster payload is not a valid PNG image.";
inline constexpr std::string_view kMsgDecodedMismatch = "The decoded PNG dimensions do not match its header.";
inline constexpr std::string_view kMsgSecondDecode = "{} could not decode the PNG label.";
inline constexpr std::string_view kMsgTooLarge = "The PNG label exceeds the helper limit.";
inline constexpr std::string_view kMsgLanguageChars = "language contains unsupported characters.";
inline constexpr std::string_view kMsgRawNotBase64 = "The raw label is not valid base64.";
inline constexpr std::string_view kMsgRawEmpty = "The raw label is empty.";
inline constexpr std::string_view kMsgRawTooLarge = "The raw label exceeds the helper limit.";
inline constexpr std::string_view kMsgTooMuchToPrint =
    "The request would print more than 4,000,000,000 label pixels (pages times copies); send fewer pages or "
    "copies in each request.";
inline constexpr std::string_view kMsgOutOfMemory = "The request needs more memory than the print helper can get.";
inline constexpr std::string_view kMsgPageCount = "A document has 1 to 1000 pages.";
inline constexpr std::string_view kMsgFindLimit = "limit must be between 1 and 100.";
inline constexpr std::string_view kMsgUnknownMessage = "The print helper does not support that message type.";
inline constexpr std::string_view kMsgIntentConflict =
    "This print-attempt identifier was already used for different output.";
inline constexpr std::string_view kMsgAttemptFailed =
    "This attempt already failed. Use a deliberate reprint attempt with a new identifier.";
inline constexpr std::string_view kMsgUnknownOutcome =
    "This attempt may already be in the operating-system queue. Use a deliberate reprint attempt "
    "instead of resubmitting it.";
inline constexpr std::string_view kMsgMediaUnsupported =
    "{} media tokens are not supported yet; select the label size in the queue preferences.";
inline constexpr std::string_view kMsgMediaMismatch =
    "The selected {} queue's paper size or orientation does not safely fit this label.";
inline constexpr std::string_view kMsgInvalidQueueName = "{} returned an invalid print-queue name.";
inline constexpr std::string_view kMsgJobNotFound = "No print attempt has that identifier.";
inline constexpr std::string_view kMsgAttemptDisappeared = "The durable print attempt disappeared.";
inline constexpr std::string_view kMsgLedgerUnreadable = "The print-helper ledger is unreadable.";
inline constexpr std::string_view kMsgStateVersion =
    "The print-helper state was created by an incompatible version.";
inline constexpr std::string_view kMsgNoAppData =
    "Cannot locate the current user's application-data directory.";
inline constexpr std::string_view kMsgCannotEncodeState = "Cannot encode print-helper state.";
inline constexpr std::string_view kMsgStateMoved =
    "The print-helper state folder was moved or its lock file was replaced while this helper ran; it stops "
    "without printing.";
inline constexpr std::string_view kMsgLedgerChanged =
    "Another program changed the print-helper ledger while this helper held its lock; it stops without "
    "printing.";
inline constexpr std::string_view kMsgWatchTooLarge =
    "A port watches at most 64 printers and 1000 print attempts; unwatch some first.";
inline constexpr std::string_view kMsgLedgerUnreadableNow =
    "The print-helper ledger another helper saved could not be read again; this helper stops without printing.";
inline constexpr std::string_view kMsgOutcomeNotSaved =
    "The print helper could not record the outcome of a print attempt; it stops so that no attempt is "
    "printed twice.";
inline constexpr std::string_view kMsgArchiveDamaged = "The print-helper archive of earlier attempts is damaged.";
inline constexpr std::string_view kPfxArchive = "Cannot use the print-helper archive of earlier attempts: ";
inline constexpr std::string_view kMsgReplyTooLarge =
    "The reply would exceed the 1 MiB a browser accepts from the print helper.";
inline constexpr std::string_view kMsgFingerprintFailed =
    "The print helper could not compute the label's fingerprint; nothing was printed.";
inline constexpr std::string_view kMsgHostRestarted =
    "The helper restarted before the operating system acknowledged this job.";

// Context sentences (joined with ": " and a system error description).
// Here and above, "{}" stands for the print system: "Windows" in the Windows
// build, "CUPS" where CUPS prints (see named()).
inline constexpr std::string_view kCtxStartPage = "{} could not start the label page";
inline constexpr std::string_view kCtxRender = "{} could not render the label to the print queue";
inline constexpr std::string_view kCtxEndPage = "{} could not finish the label page";
inline constexpr std::string_view kCtxEndDoc =
    "{} may have queued the label but did not acknowledge the completed document";
inline constexpr std::string_view kCtxStartDoc = "{} rejected the print job";
inline constexpr std::string_view kCtxRawWrite = "{} could not send the label to the print queue";
inline constexpr std::string_view kCtxOpenQueue = "{} could not open the selected print queue";
inline constexpr std::string_view kCtxEnumerate = "{} could not enumerate print queues";

// Prefixes of templates whose braces stand for a failure description.
inline constexpr std::string_view kPfxCreateState = "Cannot create print-helper state: ";
inline constexpr std::string_view kPfxOpenLock = "Cannot open print-helper lock: ";
inline constexpr std::string_view kPfxLockState = "Cannot lock print-helper state: ";
inline constexpr std::string_view kPfxReadState = "Cannot read print-helper state: ";
inline constexpr std::string_view kPfxSaveState = "Cannot save print-helper state: ";
inline constexpr std::string_view kPfxReadMessage = "Cannot read native message: ";
inline constexpr std::string_view kPfxWriteMessage = "Cannot write native response: ";

// A sentence of the catalogue with the print system's name in place of "{}".
inline std::string named(std::string_view sentence, std::string_view print_system) {
  const size_t at = sentence.find("{}");
  if (at == std::string_view::npos) return std::string(sentence);
  std::string m;
  m.reserve(sentence.size() + print_system.size());
  m.append(sentence.substr(0, at)).append(print_system).append(sentence.substr(at + 2));
  return m;
}

inline HostError make(ErrorCode code, std::string_view message) {
  return HostError{code, std::string(message)};
}
// "<prefix><description>" for the STATE_UNAVAILABLE and IO_ERROR templates.
inline HostError with_description(ErrorCode code, std::string_view prefix, std::string_view description) {
  std::string m(prefix);
  m += description;
  return HostError{code, std::move(m)};
}
// A context message: the sentence, ": ", then a system error description.
inline HostError with_context(ErrorCode code, std::string_view sentence, std::string_view description) {
  std::string m(sentence);
  m += ": ";
  m += description;
  return HostError{code, std::move(m)};
}
// "{} contains unsupported characters." for identifier-rule failures.
inline HostError unsupported_characters(std::string_view field) {
  std::string m(field);
  m += " contains unsupported characters.";
  return HostError{kBadRequest, std::move(m)};
}
// "{} is empty, too long, or contains control characters." for text fields.
inline HostError bad_text_field(std::string_view field) {
  std::string m(field);
  m += " is empty, too long, or contains control characters.";
  return HostError{kBadRequest, std::move(m)};
}
// A page's failure in a document, named by its position: "Page 2: <message>".
inline HostError on_page(size_t index, HostError error) {
  error.message = "Page " + std::to_string(index + 1) + ": " + error.message;
  return error;
}
// "Expected protocol {}."
inline HostError protocol_mismatch(unsigned protocol) {
  return HostError{kProtocolMismatch, "Expected protocol " + std::to_string(protocol) + "."};
}

}  // namespace tph::errors
