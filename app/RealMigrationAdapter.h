#pragma once
// The pipeline's view of the legacy data migration, bound to the real one.
#include <windows.h>

#include <memory>
#include <string>

#include "app/PipelineSteps.h"

namespace orvo {

// Constructs the migration (pins the install directory, duplicates the token);
// throws as the construction does.
std::unique_ptr<PipelineMigration> makeRealMigration(const std::wstring& installDirectory, HANDLE token);

}  // namespace orvo
