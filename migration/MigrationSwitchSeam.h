#pragma once
// Test seam: the points of a migration run at which crash and failure tests end the process or throw, since a crash
// between a move and its record cannot be provoked otherwise. The product binds no observer.
#include <functional>

namespace orvo {

// In the order a run reaches them: the copy written but not yet checked against the source again, the journal just
// created, and each move of the switch before and after its record.
enum class MigrationSwitchPoint {
  SourceCopied,
  JournalCreated,
  LinkParkedOnDisk,
  LinkParkedRecorded,
  CopyPlacedOnDisk,
  CopyPlacedRecorded
};

// Binds `observer` for the whole process, for every run; an empty function unbinds it.
void bindMigrationSwitchObserver(std::function<void(MigrationSwitchPoint)> observer);

// Called by the run at each point; does nothing unless an observer is bound.
void reachMigrationSwitchPoint(MigrationSwitchPoint point);

}  // namespace orvo
