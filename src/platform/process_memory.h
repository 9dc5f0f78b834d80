#pragma once
// How the process's allocator treats the large buffers of a print: called
// once, first thing, by main.

namespace tph {

// A running host decodes and renders one label after another, each into
// buffers of a few megabytes. Kept for the next label instead of handed back
// to the system, they cost no page faults the second time; the amount kept
// is bounded, and larger buffers still go back at once.
void keep_label_buffers_for_reuse();

}  // namespace tph
