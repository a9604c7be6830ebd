#include "app/RealTransactionAdapter.h"

#include "payload/Sha256.h"
#include "txn/FileTransaction.h"
#include "txn/InstallationMarker.h"

namespace orvo {
namespace {

std::wstring digestWithoutProgress(const std::wstring& path) { return sha256File(path); }

class RealTransaction final : public PipelineTransaction {
 public:
  RealTransaction(const std::wstring& installDirectory, const std::vector<TransactionEntry>& entries,
                  const std::function<void()>& checkCancelled, TransactionEvent onEvent)
      : transaction_(installDirectory, entries, digestWithoutProgress, checkCancelled, std::move(onEvent)) {}

  bool isActive() const override { return transaction_.isActive(); }
  bool areaExists() override { return transaction_.probeArea().has_value(); }
  void recoverEarlier() override { transaction_.recover(); }
  void prepare(const std::wstring& extractionDirectory) override { transaction_.prepare(extractionDirectory); }
  void apply() override { transaction_.apply(); }
  void commit() override { transaction_.commit(); }
  void rollback() override { transaction_.rollback(); }
  TransactionState state() const override { return transaction_.state(); }
  std::wstring areaPath() const override { return transaction_.areaPath(); }

 private:
  FileTransaction transaction_;
};

}  // namespace

std::unique_ptr<PipelineTransaction> makeRealTransaction(const std::wstring& installDirectory,
                                                         const std::vector<TransactionEntry>& entries,
                                                         const std::function<void()>& checkCancelled,
                                                         TransactionEvent onEvent) {
  return std::make_unique<RealTransaction>(installDirectory, entries, checkCancelled, std::move(onEvent));
}

std::function<void()> prepareRealMarker(const std::wstring& extractionDirectory, const std::wstring& installDirectory,
                                        std::vector<TransactionEntry>& entries) {
  MarkerSnapshot snapshot = prepareMarker(extractionDirectory, installDirectory, entries, digestWithoutProgress);
  return [installDirectory, snapshot = std::move(snapshot)] { verifyMarkerUnchanged(installDirectory, snapshot); };
}

}  // namespace orvo
