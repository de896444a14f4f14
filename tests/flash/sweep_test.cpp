// Every request of an update failing in turn: the engine must either report
// failure or leave the flash holding the image. Every request after the
// open is failed in turn, and the camera is unplugged after each.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/flash/sim_rig.h"
#include "tests/support/sweep_stride.h"

namespace qv::test {
namespace {

constexpr std::uint32_t kImageLength = 32786;

std::vector<std::uint8_t> makeImage() {
  std::vector<std::uint8_t> image(0x20000, 0);
  for (std::uint32_t i = 0; i < kImageLength; ++i)
    image[i] = static_cast<std::uint8_t>((i * 37 + 5) ^ (i >> 8));
  image[1] = 0x16;
  return image;
}

struct Run {
  std::int32_t result;
  std::vector<std::uint8_t> flash;
};

Run runUpdate(const std::string& members, std::uint8_t type) {
  SimRig rig;
  rig.open(members);
  std::vector<std::uint8_t> image = makeImage();
  Run run;
  run.result = rig.device->DownloadFirmware(image.data(), kImageLength, type, nullptr, nullptr,
                                            nullptr, nullptr);
  const auto flash = rig.camera().flash();
  run.flash.assign(flash.begin(), flash.end());
  return run;
}

void sweep(const std::string& cameraMembers, std::uint8_t type) {
  // The clean update: its flash is the one a pass must leave, its trace
  // numbers the requests.
  SimRig probe;
  probe.open(cameraMembers);
  const std::uint32_t first = probe.requestsAtOpen() + 1;
  std::vector<std::uint8_t> image = makeImage();
  ASSERT_EQ(probe.device->DownloadFirmware(image.data(), kImageLength, type, nullptr, nullptr,
                                           nullptr, nullptr),
            0);
  const auto good = probe.camera().flash();
  const std::vector<std::uint8_t> written(good.begin(), good.end());
  std::vector<std::string> requests;
  std::uint32_t last = first - 1;
  for (const std::string& line : probe.trace()) {
    if (line.rfind("0 ", 0) != 0) continue;
    ++last;
    requests.push_back(line.substr(0, 40));
  }
  const std::string prefix = cameraMembers.empty() ? "" : cameraMembers + ", ";
  int runs = 0;
  for (std::uint32_t n = first; n <= last; n += testing::SweepStride()) {
    const std::size_t at = n - first;
    ++runs;
    for (const std::string& fault :
         {R"({"request": )" + std::to_string(n) + R"(, "result": "0x8007001F"})",
          R"({"unplug_after": )" + std::to_string(n - 1) + "}"}) {
      const Run run = runUpdate(prefix + R"("faults": [)" + fault + "]", type);
      if (run.result == 0 && run.flash != written) {
        ADD_FAILURE() << "passed without the image in flash: " << fault << " (" << requests[at]
                      << ")";
      }
    }
  }
  EXPECT_GT(runs, 0);
}

TEST(Sweep, Family104DownloadMode) { sweep("", 122); }
TEST(Sweep, Family105DownloadMode) { sweep(R"("chip_id": 161)", 122); }
TEST(Sweep, Family106DownloadMode) { sweep(R"("chip_id": 177)", 122); }
TEST(Sweep, SectorPairRoute) { sweep(R"("chip_id": 97)", 6); }

}  // namespace
}  // namespace qv::test
