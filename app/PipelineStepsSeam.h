#pragma once
// A test seam of the real pipeline steps: where the road meets another process.
#include "app/PipelineSteps.h"

namespace orvo {

// The real subsystems, with `onEvent` hearing every journal publication of the
// file transaction and each point where a file the steps made is about to be
// used: "resource-written" (the resource id), "before-extract",
// "payload-verified" and "platform-program-ran" (the count of earlier runs).
// A named seam: the moves a standard user could make at those moments, and a
// crash at each journal write, cannot be brought about on demand, so a test
// acts or ends the process there.
std::unique_ptr<PipelineSteps> makeObservedPipelineSteps(TransactionEvent onEvent);

}  // namespace orvo
