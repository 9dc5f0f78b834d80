#pragma once
#include "submit/attempt_runner.h"
#include "submit/print_context.h"
#include "submit/raw_request.h"
#include "submit/submit_request.h"

namespace tph {

// The submit message: field checks, payload decoding and fingerprint, then
// the attempt.
Result<SubmitReply> handle_submit(SubmitRequest request, PrintContext& context);

// The submit_document message: every page checked and decoded like a submit
// payload before anything is recorded, one fingerprint over the pages in
// order, then one attempt that prints them as one job.
Result<SubmitReply> handle_submit_document(DocumentRequest request, PrintContext& context);

// The submit_raw message: field checks and decoding, a fingerprint of its
// own kind, then the same attempt rules.
Result<SubmitReply> handle_submit_raw(RawSubmitRequest request, PrintContext& context);

}  // namespace tph
