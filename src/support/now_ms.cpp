#include "support/now_ms.h"

#include "platform/clock.h"

namespace tph {

uint64_t now_ms(Clock& clock) { return now_ms_from_file_time(clock.file_time()); }

}  // namespace tph
