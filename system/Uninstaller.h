#pragma once
// The uninstaller: run from the uninstaller copy inside an installation, it
// removes the platform program files that are still exactly as installed, the
// two shortcuts that point to this installation and the uninstall entry that
// names it, and schedules its own deletion for the next restart.
//
// Guarantees: nothing is changed before the user confirms; nothing outside the
// manifest's files, the two shortcuts and the registry key is deleted, so the
// personal data (".platform"), downloaded games and files the user changed
// stay; a copy started outside an installation stops before asking. A program
// file or shortcut is deleted only through the handle it was checked through,
// held without write or delete sharing from the check to the delete, so what
// is deleted is what was verified; the shortcuts are read and deleted with the
// desktop user's rights, and one reached through a link is left alone.
#include <functional>
#include <vector>

#include "payload/ManifestEntry.h"

namespace orvo {

// The installed file list (the executable's embedded manifest).
using ManifestLoader = std::function<std::vector<ManifestEntry>()>;

// Runs the whole uninstall on the calling thread (COM initialised). Returns
// normally when done or declined; throws the message to show otherwise
// ("平台安装标识缺失，无法卸载", "请先退出游戏和 orvo game",
// "Install directory cannot use links", "无法获取桌面用户身份",
// "无法取得快捷方式目录", file-system and digest errors).
void runUninstall(const ManifestLoader& loadManifest);

}  // namespace orvo
