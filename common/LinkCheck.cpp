#include "common/LinkCheck.h"

#include <windows.h>

#include <stdexcept>

#include "common/FileSystemErrors.h"
#include "common/PathText.h"

namespace orvo {

void checkNoLinks(const std::wstring& path) {
  std::wstring current = absolutePath(path).wstring();
  for (;;) {
    const DWORD attributes = ::GetFileAttributesW(current.c_str());
    // Only a component that is certainly absent is passed over: one whose
    // attributes cannot be read might be a link that this caller may not see.
    if (attributes == INVALID_FILE_ATTRIBUTES ? !isAbsentError(::GetLastError())
                                              : (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      throw std::runtime_error("Install directory cannot use links");
    }
    const std::wstring parent(parentPathText(current));
    if (parent.empty() || parent == current) break;
    current = parent;
  }
}

}  // namespace orvo
