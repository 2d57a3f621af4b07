// Keeps the machine from idle sleep while a job copies: a systemd-logind inhibitor lock.
#pragma once

#include <string>

#include "engine/copy/ingest.h"
#include "os/fd.h"

namespace tolverdine {

/// Best effort: without a system bus or logind, hold() does nothing and the run goes on.
class LogindSleepInhibitor : public SleepGuard {
 public:
  void hold(const std::string& reason) override;
  void release() override;

 private:
  UniqueFd fd_;  // closing it releases the inhibitor
};

}  // namespace tolverdine
