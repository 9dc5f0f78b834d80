#pragma once
#include "submit/print_context.h"
#include "submit/submit_request.h"

namespace tph {

// The submit message: field checks, payload decoding and fingerprint, then
// the attempt.
Result<Json> handle_submit(SubmitRequest request, PrintContext& context);

}  // namespace tph
