#pragma once
// The attempt rules, written once for every kind of job: a known intent_id is
// answered from its record; a new one is recorded DISPATCHING and saved
// before anything reaches the print system, printed, and its outcome saved
// before the reply.

#include <cstdint>
#include <functional>
#include <string>

#include "state/state_store.h"
#include "submit/fingerprint.h"
#include "submit/print_context.h"
#include "submit/print_outcome.h"
#include <optional>

namespace tph {

// True when a stored record names the same output as this request: the
// current fingerprint, or a record written with the older layout whose
// fingerprint and printer both match.
bool same_output(const JobRecord& record, const OutputIdentity& output, const std::string& printer);

// What names an attempt in the ledger.
struct AttemptKey {
  const std::string& intent_id;
  const std::string& printer;
};

// How one attempt is handed to the print system, its job made with the
// attempt's `job_uuid`.
using PrintStep = std::function<PrintOutcome(const std::string& job_uuid)>;

// What a print message answers: the attempt's record, whether it was a
// repeat of an earlier request, and, for a label handed to the print system
// whose outcome could not be saved, why (the host stops after answering).
struct SubmitReply {
  JobRecord record;
  bool duplicate = false;
  std::optional<std::string> save_error;
};

// The attempt rules for any kind of job: a known intent_id is answered from
// its record; a new one is recorded DISPATCHING and saved, `print` runs
// (once the lock has proved again that it guards the state), and its
// outcome is saved before the reply.
Result<SubmitReply> run_attempt(PrintContext& context, const AttemptKey& key, const OutputIdentity& output,
                                const PrintStep& print);

}  // namespace tph
