#pragma once
// Whether a game client or the platform itself runs from an install directory.
//
// Both checks only read the process list (one fresh snapshot per call) and
// never stop a process; every snapshot and process handle is closed on every
// path. They differ on purpose: the game check looks anywhere below the
// directory and counts a game process it cannot inspect as running (it may
// belong to another user); the platform check looks only at the directory
// itself and passes over a process it cannot inspect.
#include <string>

namespace orvo {

// True when "dnf.exe", "dnfchina.exe", "dfo.exe" or "arad.exe" (any case) runs
// from `directory` or below it, or when such a process cannot be inspected.
bool isGameRunningUnder(const std::wstring& directory);

// True when "OrvoQ9.exe", "orvo game.exe" or "OrvoGame.exe" (any case) runs
// with its executable directly in `directory` (whole text, any case).
bool isPlatformRunningIn(const std::wstring& directory);

}  // namespace orvo
