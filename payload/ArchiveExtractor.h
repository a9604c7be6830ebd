#pragma once
// Extraction of the payload archive by the 7-Zip console program that the
// installer carries: the program runs hidden, its output comes through one pipe
// and drives the extraction band (75..90) of the install bar.
//
// Guarantees: returns only after the child has exited, also when an error
// (a failing progress report, say) ends the extraction early: the child is
// then ended and waited for; exit codes 0 and 1 (warnings) count as success,
// anything above as "平台文件解压失败"; the child inherits only its standard
// handles; the pipe, the null device and the child's handles are closed on
// every path.
#include <windows.h>

#include <string>
#include <vector>

#include "common/Progress.h"

namespace orvo {

// The raw-data resources that hold the 7-Zip console program and its library.
constexpr int kExtractorResource = 103;
constexpr int kExtractorLibraryResource = 104;

// A file the child runs or loads, held open by the caller from its writing
// until the child has exited (read access, no write or delete sharing), and
// the bytes it must hold when the child starts.
struct HeldExtractorFile {
  HANDLE file;
  const std::vector<unsigned char>* expected;
};

// Runs `program` as "program" x -y -aoa -bsp1 -bso1 -bse1 "archive" -o"directory"
// in the program's own directory. Right before the
// child starts, every held file must still be a regular file of the expected
// size and then of the expected digest. Throws "Cannot start extraction" (no
// pipe), "Cannot extract platform files" (a held file differs, or no child) or
// "平台文件解压失败" (child failed).
void extractArchive(const std::wstring& program, const std::vector<HeldExtractorFile>& heldFiles,
                    const std::wstring& archive, const std::wstring& directory, const ProgressReport& report);

}  // namespace orvo
