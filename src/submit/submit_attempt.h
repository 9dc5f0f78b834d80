#pragma once
#include <string>

#include "submit/attempt_runner.h"
#include "submit/fingerprint.h"
#include "submit/print_context.h"
#include "submit/submit_request.h"

namespace tph {

// One PNG label attempt, at most once, by the attempt rules: decoded into
// the device raster and printed at its physical size only when new.
Result<SubmitReply> submit_attempt(PrintContext& context, const SubmitRequest& request, const std::string& png,
                            const OutputIdentity& output);

}  // namespace tph
