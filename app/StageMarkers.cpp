#include "app/StageMarkers.h"

#include <cstdio>

#include "common/Utf.h"

namespace orvo {

void writeStageMarker(const std::wstring& markerFile, const std::wstring& text) {
  if (markerFile.empty()) return;
  FILE* file = _wfopen(markerFile.c_str(), L"ab");
  if (file == nullptr) return;
  const std::string line = wideToUtf8(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), file);
  std::fclose(file);
}

}  // namespace orvo
