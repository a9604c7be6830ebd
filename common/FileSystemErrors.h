#pragma once
// File-system operations whose failures are reported as the standard library's
// filesystem errors: the message names the operation ("create_directories",
// "exists", "remove", "absolute") followed by the system's text and the path,
// in the form `operation: text: "path"`, as users of this installer know it on
// Windows. mingw's own filesystem_error texts read differently, so these wrap
// the calls and compose the text themselves.
#include <filesystem>
#include <string>
#include <system_error>

namespace orvo {

// The system's description of an error code, without trailing line breaks.
std::string systemErrorText(unsigned long code);

[[noreturn]] void throwFilesystemError(const char* operation, const std::error_code& ec,
                                       const std::filesystem::path& path);

// std::filesystem::create_directories with the error text above.
void createDirectories(const std::filesystem::path& path);
// std::filesystem::exists with the error text above.
bool pathExists(const std::filesystem::path& path);
// std::filesystem::absolute with the error text above.
std::filesystem::path absolutePath(const std::filesystem::path& path);

// True for the only two errors that mean "absent" to the engines: 2 and 3.
constexpr bool isAbsentError(unsigned long code) noexcept { return code == 2 || code == 3; }

}  // namespace orvo
