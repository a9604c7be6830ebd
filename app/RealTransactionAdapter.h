#pragma once
// The pipeline's view of the real file transaction and installation marker.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/PipelineSteps.h"

namespace orvo {

// A FileTransaction whose digests are plain file SHA-256. The installer itself
// listens to no events; `onEvent` exists for runs that must stop at a chosen
// journal write.
std::unique_ptr<PipelineTransaction> makeRealTransaction(const std::wstring& installDirectory,
                                                         const std::vector<TransactionEntry>& entries,
                                                         const std::function<void()>& checkCancelled,
                                                         TransactionEvent onEvent = {});

// Stages the marker and returns the check against the snapshot it took.
std::function<void()> prepareRealMarker(const std::wstring& extractionDirectory, const std::wstring& installDirectory,
                                        std::vector<TransactionEntry>& entries);

}  // namespace orvo
