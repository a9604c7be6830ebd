#pragma once
// Ownership of the uninstall registry entry: the uninstaller deletes the key
// only when its "InstallLocation" names the directory being uninstalled, so a
// later installation elsewhere keeps its entry.
//
// Guarantees: the registry is touched only for a valid, owned location; a value
// that is not a terminated REG_SZ of sane size keeps the key; the key handle is
// closed on every path.
#include <windows.h>

#include <string>

namespace orvo {

// Deletes `subkey` of `root` in the given registry view when its
// "InstallLocation" and `directory` have the same install-location form (any
// case): text rules, every partial path an existing directory that is no
// reparse point, the full path without trailing backslashes. True when the key
// was deleted.
bool deleteUninstallKeyIfOwned(HKEY root, const std::wstring& subkey, REGSAM view, const std::wstring& directory);

}  // namespace orvo
