#pragma once
// Extraction of the payload archive by the 7-Zip console program that the
// installer carries: the program runs hidden, its output comes through one pipe
// and drives the extraction band (75..90) of the install bar.
//
// Guarantees: returns only after the child has exited; exit codes 0 and 1
// (warnings) count as success, anything above as "平台文件解压失败"; the pipe,
// the null device and the child's handles are closed on every path.
#include <string>

#include "common/Progress.h"

namespace orvo {

// The child's whole command line: "program" x -y -aoa -bsp1 -bso1 -bse1 "archive" -o"directory".
std::wstring extractionCommandLine(const std::wstring& program, const std::wstring& archive,
                                   const std::wstring& directory);

// Runs `program` to extract `archive` into `directory`. Throws "Cannot start
// extraction" (no pipe), "Cannot extract platform files" (no child) or
// "平台文件解压失败" (child failed).
void extractArchive(const std::wstring& program, const std::wstring& archive, const std::wstring& directory,
                    const ProgressReport& report);

}  // namespace orvo
