#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace tph {

// The uuid ("urn:uuid:" and 36 characters) that the print system keeps with
// an attempt's job, derived from the attempt's intent and the creation time
// of its record. A print system that lost its spool hands job ids out again;
// the uuid tells the attempt's own job from another that got its id.
std::string attempt_job_uuid(std::string_view intent_id, uint64_t created_at_ms);

}  // namespace tph
