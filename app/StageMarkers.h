#pragma once
// Stage markers of unattended runs: one UTF-8 line per completed stage.
#include <string>

namespace orvo {

// Appends `text` and a line feed to `markerFile` (byte mode, opened anew for
// every marker). Does nothing when `markerFile` is empty; a file that cannot be
// opened is skipped silently, because a marker must never fail an install.
void writeStageMarker(const std::wstring& markerFile, const std::wstring& text);

}  // namespace orvo
