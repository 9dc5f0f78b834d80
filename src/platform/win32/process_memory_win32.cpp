#include "platform/process_memory.h"

namespace tph {

// The process heap's defaults: the Windows build prints through GDI, whose
// cost was not in its allocations when measured.
void keep_label_buffers_for_reuse() {}

}  // namespace tph
