// The private route's reply handling: CXuChannel in mode 0 against a
// private interface that answers every request with a result, and every
// reply with bytes and lengths, taken from the input. The operations that
// read replies -- register reads and the busy waits, flash identification,
// status reads, control lengths, the read-out and verification, the
// download engine and the sector-pair route -- run on it in the order the
// input asks for. The interface writes no more than the room the channel
// hands it (the driver's reply area); the logic must cope with whatever
// lies within it.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "camera/camera_device.h"
#include "flash/download_engine.h"
#include "fuzz/fuzz_input.h"
#include "tests/support/fake_rig.h"

namespace {

// The update job's image buffer: room beyond the image that some families
// read and patch.
constexpr std::size_t kImageBufferSize = 0x20000;

class FuzzVendorXuAccess : public qv::IVendorXuAccess {
 public:
  FuzzVendorXuAccess(qv::fuzz::FuzzInput& in, qv::test::FakeClock& clock)
      : in_(in), clock_(clock) {}

  qv::HResult SendRequest(std::uint32_t, std::uint8_t*) override { return result(); }

  qv::HResult ReadReply(std::uint32_t, std::uint8_t* buffer) override {
    // Any length up to the reply area (the smaller of the two buffers a
    // reply may land in).
    const std::uint32_t length = in_.u16() % (qv::kXuReplySize + 1);
    for (std::uint32_t i = 0; i < length; ++i) buffer[i] = in_.byte();
    return result();
  }

 private:
  qv::HResult result() {
    // Each request takes time: waits end on their time bound.
    clock_.tick(100'000);
    switch (in_.byte() & 7) {
      case 1:
        return static_cast<qv::HResult>(0x8007001Fu);  // ERROR_GEN_FAILURE
      case 2:
        return qv::hr::False;
      case 3:
        return static_cast<qv::HResult>(0x800700EAu);  // ERROR_MORE_DATA
      default:
        return qv::hr::Ok;
    }
  }

  qv::fuzz::FuzzInput& in_;
  qv::test::FakeClock& clock_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qv::fuzz::FuzzInput in(data, size);
  qv::test::FakeRig rig;
  qv::test::FakeDevice device;
  // A filter without a topology: the camera is reached through the private
  // interface alone.
  device.topology = false;
  device.privateInterface = true;
  rig.addDevice(device);
  qv::CCameraDevice camera(rig.platform);
  if (camera.OpenCamera(qv::CHIP_FAMILY_ANY, 0) != 0) __builtin_trap();
  qv::CXuChannel& channel = *camera.core()->channel();
  if (channel.mode() != qv::XU_MODE_PRIVATE) __builtin_trap();

  FuzzVendorXuAccess access(in, rig.os.clock);
  channel.SetPrivateInterface(&access);
  // Any family of the range, with its chip-select value.
  const qv::ChipFamily family = static_cast<qv::ChipFamily>(102 + in.byte() % 7);
  channel.setFamily(family);
  qv::g_spiCsAssertValue = family <= 103 ? 2 : 0;

  qv::CCameraCore& core = *camera.core();
  std::vector<std::uint8_t> buffer(kImageBufferSize, 0);
  for (int step = 0; step < 16 && !in.empty(); ++step) {
    switch (in.byte() % 12) {
      case 0: {
        std::uint8_t value = 0;
        (void)core.ReadRegister(in.u16(), value);
        break;
      }
      case 1:
        (void)core.FlashReadStatus();
        break;
      case 2: {
        std::uint8_t id[3];
        (void)core.ReadFlashId(id, in.byte());
        break;
      }
      case 3: {
        const std::uint32_t length = in.u16() % (qv::kXuReplySize + 64);
        std::vector<std::uint8_t> reply(length);
        (void)channel.GetControl(in.byte(), length, reply.data());
        break;
      }
      case 4: {
        std::uint32_t length = 0;
        (void)channel.GetControlLength(in.byte(), &length);
        break;
      }
      case 5: {
        std::uint8_t type = qv::FLASH_TYPE_UNDEFINED;
        (void)camera.QueryFlashType(type);
        break;
      }
      case 6:
        (void)camera.DumpFlash(buffer.data(), in.byte());
        break;
      case 7: {
        const std::uint32_t start = in.u32() % 0x10002;
        const std::uint32_t end = in.u32() % 0x10002;
        // The range the caller's buffer holds, as every caller passes it.
        (void)core.ReadFlash(buffer.data(), in.byte(), start, std::max(start, end));
        break;
      }
      case 8:
        (void)core.VerifyFlash(buffer.data(), in.byte(), in.u32() % 6);
        break;
      case 9:
        core.FlashWriteStatus(in.byte(), in.byte() & 1);
        break;
      case 10: {
        const std::uint32_t length = in.u16();
        std::uint8_t computed = 0, device_ = 0, state = 0, progress = 0;
        (void)camera.DownloadFirmware(buffer.data(), length, in.byte(), &computed, &device_, &state,
                                      &progress);
        break;
      }
      case 11: {
        const std::uint32_t length = in.u32() % 0x10001;
        (void)core.ProgramBySectorPairs(buffer.data(), length, nullptr, nullptr, nullptr, nullptr);
        break;
      }
    }
  }
  channel.SetPrivateInterface(nullptr);
  return 0;
}
