#pragma once
// A named test seam of the running-program checks: their verdict on one
// process from its name and image path alone, so that the rules can be tried
// on image paths no real process has, an unreadable one among them.
#include <optional>
#include <string>
#include <string_view>

namespace orvo {

// The lexically normal directory with exactly one trailing backslash.
std::wstring gameDirectoryPrefix(std::wstring_view directory);

// A game client ("dnf.exe", "dnfchina.exe", "dfo.exe", "arad.exe", any case)
// whose lexically normal image path starts with `prefix` (any case), or whose
// image path could not be read (passed as nothing).
bool gameProcessMatches(std::wstring_view executableName, const std::optional<std::wstring>& imagePath,
                        std::wstring_view prefix);

// The platform ("OrvoQ9.exe", "orvo game.exe", "OrvoGame.exe", any case) whose
// image's own directory equals `directory`, any case, as whole text; an image
// path that could not be read does not count.
bool platformProcessMatches(std::wstring_view executableName, const std::optional<std::wstring>& imagePath,
                            std::wstring_view directory);

}  // namespace orvo
