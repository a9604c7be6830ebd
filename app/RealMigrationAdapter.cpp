#include "app/RealMigrationAdapter.h"

#include "migration/LegacyDataMigration.h"

namespace orvo {
namespace {

class RealMigration final : public PipelineMigration {
 public:
  RealMigration(const std::wstring& installDirectory, HANDLE token) : migration_(installDirectory, token) {}
  bool run() override { return migration_.runMigration(); }
  void commit() override { migration_.commitMigration(); }
  void rollback() override { migration_.rollbackMigration(); }

 private:
  LegacyDataMigration migration_;
};

}  // namespace

std::unique_ptr<PipelineMigration> makeRealMigration(const std::wstring& installDirectory, HANDLE token) {
  return std::make_unique<RealMigration>(installDirectory, token);
}

}  // namespace orvo
