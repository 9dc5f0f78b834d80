#pragma once
#include "platform/platform_info.h"
#include "support/strict_json.h"

namespace tph {

// The hello reply: who this host is and what it can do.
Json hello_reply(const PlatformInfo& info);

}  // namespace tph
