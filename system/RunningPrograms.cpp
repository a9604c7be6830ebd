#include "system/RunningPrograms.h"

#include <windows.h>
#include <tlhelp32.h>

#include <array>
#include <functional>
#include <optional>

#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "system/RunningProgramsSeam.h"
#include "system/TextEquality.h"

namespace orvo {
namespace {

constexpr DWORD kImagePathCapacity = 32768;

template <std::size_t N>
bool isOneOf(std::wstring_view name, const std::array<std::wstring_view, N>& names) {
  for (const auto candidate : names) {
    if (equalIgnoringCase(name, candidate)) return true;
  }
  return false;
}

// The full Win32 image path of a process, or nothing when it cannot be opened or read.
std::optional<std::wstring> imagePathOf(DWORD processId) {
  UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) return std::nullopt;
  std::wstring path(kImagePathCapacity, L'\0');
  DWORD length = kImagePathCapacity;
  if (!::QueryFullProcessImageNameW(process.get(), 0, path.data(), &length)) return std::nullopt;
  path.resize(length);
  return path;
}

// Calls `visit` for every process of a fresh snapshot until it returns true.
// A snapshot that cannot be taken is an empty list.
bool anyProcess(const std::function<bool(const PROCESSENTRY32W&)>& visit) {
  UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
    if (visit(entry)) return true;
  }
  return false;
}

bool isGameClientName(std::wstring_view executableName) {
  static constexpr std::array<std::wstring_view, 4> kNames = {L"dnf.exe", L"dnfchina.exe", L"dfo.exe", L"arad.exe"};
  return isOneOf(executableName, kNames);
}

bool isPlatformName(std::wstring_view executableName) {
  static constexpr std::array<std::wstring_view, 3> kNames = {L"OrvoQ9.exe", L"orvo game.exe", L"OrvoGame.exe"};
  return isOneOf(executableName, kNames);
}

bool imageLiesUnder(std::wstring_view imagePath, std::wstring_view prefix) {
  const std::wstring image = normalizeLexically(imagePath);
  return image.size() >= prefix.size() && equalIgnoringCase(std::wstring_view(image).substr(0, prefix.size()), prefix);
}

bool imageLiesDirectlyIn(std::wstring_view imagePath, std::wstring_view directory) {
  return equalIgnoringCase(parentPathText(imagePath), directory);
}

}  // namespace

std::wstring gameDirectoryPrefix(std::wstring_view directory) {
  std::wstring prefix = normalizeLexically(directory);
  if (prefix.empty() || prefix.back() != L'\\') prefix.push_back(L'\\');
  return prefix;
}

bool gameProcessMatches(std::wstring_view executableName, const std::optional<std::wstring>& imagePath,
                        std::wstring_view prefix) {
  // A game process that cannot be inspected may well run from here.
  return isGameClientName(executableName) && (!imagePath || imageLiesUnder(*imagePath, prefix));
}

bool platformProcessMatches(std::wstring_view executableName, const std::optional<std::wstring>& imagePath,
                            std::wstring_view directory) {
  return isPlatformName(executableName) && imagePath && imageLiesDirectlyIn(*imagePath, directory);
}

bool isGameRunningUnder(const std::wstring& directory) {
  const std::wstring prefix = gameDirectoryPrefix(directory);
  return anyProcess([&prefix](const PROCESSENTRY32W& entry) {
    // The image is looked up only for the names that matter.
    return isGameClientName(entry.szExeFile) &&
           gameProcessMatches(entry.szExeFile, imagePathOf(entry.th32ProcessID), prefix);
  });
}

bool isPlatformRunningIn(const std::wstring& directory) {
  return anyProcess([&directory](const PROCESSENTRY32W& entry) {
    return isPlatformName(entry.szExeFile) &&
           platformProcessMatches(entry.szExeFile, imagePathOf(entry.th32ProcessID), directory);
  });
}

}  // namespace orvo
