#pragma once
// The install pipeline: one attempt turns the chosen directory into an
// installed, registered, configured and started platform, on a worker thread.
//
// Guarantees: the steps run in their fixed order and stop at the first failure;
// a failure rolls back an uncommitted migration and an uncommitted transaction,
// removes the work directory, and reports exactly one failure text (the error's
// message followed by the recovery notes); progress never moves backwards
// within an attempt; at most one worker exists, and it is joined before the
// next attempt starts and before the process ends.
#include <cstdint>
#include <string>
#include <thread>

#include "app/InstallStatus.h"
#include "app/InstallerSettings.h"
#include "PayloadBuild.h"
#include "app/PipelineSteps.h"
#include "payload/PayloadDownloader.h"

namespace orvo {

constexpr std::uint64_t kPayloadSize = kPayloadArchiveSize;
inline constexpr auto& kPrimaryPath = build::kPrimaryPayloadPath;
inline constexpr auto& kFallbackPath = build::kFallbackPayloadPath;

struct PipelineEndpoints {
  std::wstring primaryUrl;
  std::wstring fallbackUrl;
  std::wstring payloadSha256;  // the one archive digest this build accepts
};

// The endpoints and digest this build was made for.
PipelineEndpoints buildEndpoints();

class InstallPipeline {
 public:
  InstallPipeline(InstallerSettings& settings, InstallStatus& status, PipelineSteps& steps, PipelineEndpoints endpoints);
  ~InstallPipeline();
  InstallPipeline(const InstallPipeline&) = delete;
  InstallPipeline& operator=(const InstallPipeline&) = delete;

  // Window thread. `directoryText` is the trimmed path box; `hidePathBox` runs
  // once the attempt is sure to start. Never throws.
  void startInstall(const std::wstring& directoryText, const std::function<void()>& hidePathBox = {});
  // Waits for the worker of the last attempt, if any.
  void joinWorker();

 private:
  // The body of the worker thread. Catches every standard exception.
  void installWorker();
  void marker(const std::wstring& text) const;

  InstallerSettings& settings_;
  InstallStatus& status_;
  PipelineSteps& steps_;
  PipelineEndpoints endpoints_;
  std::thread worker_;
};

}  // namespace orvo
