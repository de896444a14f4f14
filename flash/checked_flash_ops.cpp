// Serial-flash sequences that report every request (see the header): the
// core's own sequences, judged by its count of failed requests.
#include "flash/checked_flash_ops.h"

namespace qv {

namespace {

// Runs one sequence of the core; true when none of its requests failed and
// no wait gave up.
template <typename Sequence>
bool runChecked(CCameraCore& core, Sequence sequence) {
  if (core.channel() == nullptr || core.faulted()) return false;
  const std::uint32_t failedBefore = core.failedRequests();
  const bool done = sequence();
  return done && core.failedRequests() == failedBefore && !core.faulted();
}

}  // namespace

bool WriteFlashStatusChecked(CCameraCore& core, std::uint8_t value, std::int32_t useEwsr) {
  return runChecked(core, [&] {
    core.FlashWriteStatus(value, useEwsr);
    return true;
  });
}

bool ClearFlashStatusChecked(CCameraCore& core) {
  return runChecked(core, [&] {
    if (core.FlashReadStatus() == 0x00) return true;
    // FlashWriteStatus with 0x00 and the ordinary write enable, without its
    // own comparison: the status was just read. Like every flash sequence it
    // sends nothing once a wait on this camera has given up.
    core.FlashWriteStatusRegister(0x00, 0);
    return true;
  });
}

bool WriteFlashPageChecked(CCameraCore& core, const PageProgramRequest& request) {
  return runChecked(core, [&] { return core.FlashWritePage(request) == 1; });
}

bool WriteFlashBytesChecked(CCameraCore& core, std::uint32_t address, std::uint32_t length,
                            const std::uint8_t* data) {
  return runChecked(core, [&] { return succeeded(core.WriteFlashBytes(address, length, data)); });
}

}  // namespace qv
