#include "cli/verify.h"

#include <algorithm>
#include <memory>

#include "download/boot_check.h"
#include "ui/thread.h"

namespace flashpost::cli {

namespace {

class BootCheckThread final : public ui::Thread {
 public:
  BootCheckThread(ui::MainLoop& loop, app::PortBoard& board, VerifyTarget target, uint32_t limit_ms)
      : ui::Thread(loop), board_(board), target_(std::move(target)), limit_ms_(limit_ms) {}
  // Read once Finished().
  const download::BootCheck& Result() const { return result_; }
  const VerifyTarget& Target() const { return target_; }

 protected:
  void Execute() override {
    const serial::SlotJob job(board_, target_.slot, Stop());
    result_ = download::CheckBoot(job, target_.port, target_.baud, limit_ms_);
  }

 private:
  app::PortBoard& board_;
  const VerifyTarget target_;
  const uint32_t limit_ms_;
  download::BootCheck result_;
};

}  // namespace

void VerifyBoots(ui::HeadlessLoop& loop, app::PortBoard& board,
                 const std::vector<VerifyTarget>& targets, uint32_t limit_ms) {
  std::vector<std::shared_ptr<BootCheckThread>> checks;
  for (const VerifyTarget& target : targets) {
    checks.push_back(ui::StartThread<BootCheckThread>(loop, board, target, limit_ms));
  }
  auto all_done = [&] {
    return std::all_of(checks.begin(), checks.end(), [](auto& c) { return c->Finished(); });
  };
  // Each check ends by its own limit; the margin only guards against a stuck port.
  if (!loop.RunUntil(all_done, limit_ms + 5000)) {
    for (auto& check : checks) check->Terminate();
  }
  const std::string seconds = std::to_string(limit_ms / 1000) + " s";
  for (auto& check : checks) {
    check->WaitFor();
    const download::BootCheck& result = check->Result();
    app::RunRecord& record = *check->Target().record;
    record.version_after = result.version;
    if (!result.version.empty()) continue;
    record.passed = false;
    record.status = result.nmea_heard
                        ? "Verify failed: no answer to the version probe within " + seconds
                        : "Verify failed: no NMEA from the module within " + seconds;
  }
}

}  // namespace flashpost::cli
