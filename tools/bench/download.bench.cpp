// Times one download of a URL inside this process (no Wine start-up in the
// figure), either through downloadPayload into a file or through a bare
// WinHTTP read loop (the most any WinHTTP client can reach under the same
// Wine) that only reads, or that also writes each piece to a target file (the
// least any download to disk must do). Prints "<mode> <seconds> <bytes>".
//   download-bench payload <url> <target>
//   download-bench bare <url> [<target>]
#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "payload/PayloadDownloader.h"

namespace {

std::uint64_t bareReadLoop(const std::wstring& url, const wchar_t* target) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) throw std::runtime_error("bad url");
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  const std::wstring path = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                            std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  orvo::UniqueWinHttp session(::WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                            WINHTTP_NO_PROXY_BYPASS, 0));
  orvo::UniqueWinHttp connection(::WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  orvo::UniqueWinHttp request(::WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                                   WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
  if (!request || !::WinHttpSendRequest(request.get(), nullptr, 0, nullptr, 0, 0, 0) ||
      !::WinHttpReceiveResponse(request.get(), nullptr)) {
    throw std::runtime_error("request failed");
  }
  orvo::UniqueHandle file;
  if (target != nullptr) {
    file.reset(::CreateFileW(target, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw std::runtime_error("cannot create target");
  }
  std::vector<char> buffer(262144);
  std::uint64_t total = 0;
  for (;;) {
    DWORD read = 0;
    if (!::WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read)) {
      throw std::runtime_error("read failed");
    }
    if (read == 0) break;
    DWORD written = 0;
    if (file && (!::WriteFile(file.get(), buffer.data(), read, &written, nullptr) || written != read)) {
      throw std::runtime_error("write failed");
    }
    total += read;
  }
  return total;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  try {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t bytes = 0;
    if (mode == L"payload" && argc == 4) {
      orvo::downloadPayload(argv[2], argv[3], [](int, const std::wstring&, const std::wstring&) {}, {});
      bytes = orvo::kPayloadArchiveSize;
    } else if (mode == L"bare" && (argc == 3 || argc == 4)) {
      bytes = bareReadLoop(argv[2], argc == 4 ? argv[3] : nullptr);
    } else {
      std::fprintf(stderr, "usage: download-bench payload <url> <target> | bare <url> [<target>]\n");
      return 2;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s %.4f %llu\n", orvo::wideToUtf8(mode).c_str(), seconds, static_cast<unsigned long long>(bytes));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "download-bench: %s\n", e.what());
    return 1;
  }
}
