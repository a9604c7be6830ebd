#include "payload/PayloadDownloader.h"
#include "payload/PayloadDownloaderSeam.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "BuildConfig.h"
#include "common/UniqueHandle.h"
#include "payload/DownloadMeter.h"
#include "payload/DownloadText.h"

namespace orvo {
namespace {

constexpr auto& kUserAgent = build::kUserAgent;
constexpr DWORD kReadChunk = 262144;
constexpr int kResolveTimeoutMs = 10000;
constexpr int kConnectTimeoutMs = 15000;
constexpr int kSendTimeoutMs = 15000;
constexpr int kReceiveTimeoutMs = 30000;
constexpr wchar_t kDownloadingStatus[] = L"正在下载平台文件";

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

struct RequestTarget {
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring pathAndQuery;  // the URL path followed by the extra information
  bool secure = false;
};

RequestTarget splitUrl(const std::wstring& url) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  // -1: point into `url` instead of copying.
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (url.empty() || url.find(L'\0') != std::wstring::npos ||
      !::WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) || parts.dwHostNameLength == 0) {
    fail("Download URL invalid");
  }
  RequestTarget target;
  target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  target.port = parts.nPort;
  if (parts.lpszUrlPath != nullptr) target.pathAndQuery.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr) target.pathAndQuery.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  return target;
}

// Status code 200 and a Content-Length of exactly `expectedSize`, else the fixed messages.
void checkResponse(HINTERNET request, std::uint64_t expectedSize) {
  DWORD status = 0;
  DWORD statusSize = sizeof status;
  if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX) ||
      status != 200) {
    fail("Download server returned error");
  }
  // 128 bytes: a header that does not fit is not a length this build accepts.
  wchar_t length[64] = {};
  DWORD lengthBytes = sizeof length;
  if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, length,
                             &lengthBytes, WINHTTP_NO_HEADER_INDEX)) {
    fail(kDownloadLengthInvalid);
  }
  const std::wstring_view text(length, std::min<std::size_t>(lengthBytes / sizeof(wchar_t), std::size(length)));
  const auto value = parseContentLength(text);
  if (!value || *value != expectedSize) fail(kDownloadLengthInvalid);
}

}  // namespace

void downloadPayload(const std::wstring& url, const std::wstring& target, const ProgressReport& report,
                     const std::function<void()>& checkCancelled) {
  downloadExactly(url, target, kPayloadArchiveSize, report, checkCancelled);
}

void downloadExactly(const std::wstring& url, const std::wstring& target, std::uint64_t expectedSize,
                     const ProgressReport& report, const std::function<void()>& checkCancelled) {
  const RequestTarget endpoint = splitUrl(url);

  // Declared in this order so they close request, connection, session.
  UniqueWinHttp session(::WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                      WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session ||
      !::WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs)) {
    fail("Cannot open network");
  }
  UniqueWinHttp connection(::WinHttpConnect(session.get(), endpoint.host.c_str(), endpoint.port, 0));
  UniqueWinHttp request;
  if (connection) {
    request.reset(::WinHttpOpenRequest(connection.get(), L"GET",
                                       endpoint.pathAndQuery.empty() ? nullptr : endpoint.pathAndQuery.c_str(),
                                       nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       endpoint.secure ? WINHTTP_FLAG_SECURE : 0));
  }
  if (!request ||
      !::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !::WinHttpReceiveResponse(request.get(), nullptr)) {
    fail("Download connection failed");
  }
  checkResponse(request.get(), expectedSize);

  // Nothing on disk changes before the response has proved its length.
  UniqueHandle file(::CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) fail("Cannot save download");

  std::vector<char> buffer(kReadChunk);
  DownloadMeter meter(expectedSize, DownloadMeter::Clock::now());
  if (checkCancelled) checkCancelled();
  for (;;) {
    DWORD read = 0;
    if (!::WinHttpReadData(request.get(), buffer.data(), kReadChunk, &read)) fail("Download interrupted");
    if (read == 0) break;
    DWORD written = 0;
    if (!::WriteFile(file.get(), buffer.data(), read, &written, nullptr) || written != read) {
      fail("下载文件写入失败");
    }
    if (auto due = meter.add(read, DownloadMeter::Clock::now())) {
      if (report) report(due->percent, kDownloadingStatus, due->detail);
    }
    if (checkCancelled) checkCancelled();
  }
  file.reset();
  if (!meter.complete()) fail("下载文件不完整");
}

}  // namespace orvo
