// The qvflash benchmark: for each operation of the tool, on the simulated
// camera, the extension-unit requests sent, the bytes they carry and the
// modelled time split into mandated waits, request transfers and the chip's
// flash engine; the protocol's floor and the ratio to it; growth with the
// number of cameras and the image size; and the host's own cost (CPU time,
// memory, heap allocations around the request path). docs/performance.md
// explains the model and the figures.
//
//   qvflash_bench [--quick] [Google Benchmark options]
//
// The last line of the output reads
//   update modelled/floor <ratio>; allocations per request <n>
// for the family-104 terse update.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/backup_file.h"
#include "app/inventory.h"
#include "app/update_job.h"
#include "bench/alloc_hook.h"
#include "bench/sim_rig.h"
#include "camera/camera_device.h"
#include "channel/xu_channel.h"
#include "flash/flash_tables.h"

namespace qv::bench {
namespace {

constexpr std::uint64_t kMs = 1'000'000;
// The waits the protocol mandates (milliseconds).
constexpr std::uint64_t kWalkSettleMs = 300;  // per capture filter bound in a device walk
constexpr std::uint64_t kGpioMs = 50;
constexpr std::uint64_t kChecksumMs = 500;
constexpr std::uint64_t kResetMs = 500;  // families 106 to 108
constexpr std::uint8_t kFamilyAny = 101;

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Counts heap allocations inside each request (the simulator's handling,
// from the seam call into the camera model to its return) and between
// consecutive requests (the logic's work from one request to the next).
class AllocObserver final : public sim::RequestObserver {
 public:
  void requestStarted() override {
    const std::uint64_t now = allocCounters().allocations;
    if (requests_ > 0) between_ += now - lastEnd_;
    start_ = now;
    ++requests_;
  }
  void requestFinished() override {
    const std::uint64_t now = allocCounters().allocations;
    inside_ += now - start_;
    lastEnd_ = now;
  }
  std::uint64_t inside() const { return inside_; }
  std::uint64_t between() const { return between_; }
  std::uint64_t requests() const { return requests_; }

 private:
  std::uint64_t requests_ = 0;
  std::uint64_t start_ = 0;
  std::uint64_t lastEnd_ = 0;
  std::uint64_t inside_ = 0;
  std::uint64_t between_ = 0;
};

struct OpResult {
  std::string name;
  Sample d;
  std::uint64_t mandatedNs = 0;
  std::uint64_t allocInside = 0;   // simulator, trace lines not kept
  std::uint64_t allocBetween = 0;  // logic, first to last request
  std::uint64_t allocInsideTraced = 0;
  bool ok = true;
  std::uint64_t sequenceRequests = 0;
  double cpuMs = 0;  // host CPU time of the operation (simulator included)

  double ratio() const {
    const double f = static_cast<double>(d.floorNs(mandatedNs));
    return f > 0 ? static_cast<double>(d.modelledNs()) / f : 1.0;
  }
};

// An operation: `setup` brings the rig to where the operation starts (not
// measured), `run` is the operation (false: it failed).
struct OpSpec {
  std::string name;
  std::vector<CameraSpec> cameras;
  std::uint64_t mandatedMs;
  std::function<void(Rig&, std::unique_ptr<CCameraDevice>&)> setup;
  std::function<bool(Rig&, std::unique_ptr<CCameraDevice>&)> run;
  bool gpio = false;
  // The requests the operation's sequences fix with every busy wait ended by
  // its first poll, counted from the sequences (below); 0: not given.
  std::uint64_t sequenceRequests = 0;
};

// Request counts of the fixed sequences, derived step by step from the
// protocol, independently of the tool: the floor's request term is checked
// against them. Families 102 to 105 reach the flash through the SPI
// registers; every busy wait is one poll.
namespace seq {
constexpr std::uint64_t kRegister = 2;                  // address SET, data SET or GET
constexpr std::uint64_t kSend = kRegister + kRegister;  // transmit write, busy poll
constexpr std::uint64_t kIdleByte = kRegister + kSend;  // control 0x80, send 0x04
// Control 0x80, then one Read Status transaction: select, 0x05 and its busy
// poll, discarded read, busy poll, status read, release.
constexpr std::uint64_t kStatusWait = kRegister + 7 * kRegister;
// Control 0x80, select, send the opcode, release.
constexpr std::uint64_t kSimpleCommand = 2 * kRegister + kSend + kRegister;
// Status read, (E)WREN, control, select, send 0x01 and the value, release,
// status wait.
constexpr std::uint64_t kStatusWrite =
    kStatusWait + kSimpleCommand + 2 * kRegister + 2 * kSend + kRegister + kStatusWait;
// Control, WREN, select, send 0x02 and three address bytes and n data
// bytes, release, status wait, idle byte, control 0x00.
constexpr std::uint64_t pageProgram(std::uint64_t n) {
  return kRegister + kSimpleCommand + kRegister + (4 + n) * kSend + kRegister + kStatusWait +
         kIdleByte + kRegister;
}
constexpr std::uint64_t kTableLoad = 12 * 2 + 1 + 1;  // index/value pairs, mode, GET-LENGTH
// Idle byte, select, command, then (0x90, 0xAB) a busy poll and three
// dummy bytes, three received bytes (discarded read, poll, read, poll),
// release.
constexpr std::uint64_t readId(bool dummies) {
  return kIdleByte + kRegister + kRegister + (dummies ? kRegister + 3 * kSend : 0) +
         3 * 4 * kRegister + kRegister;
}
constexpr std::uint64_t kReadIdXu = 3;  // index 13, command, GET of control 23
// Table, GET-LENGTH, the address once, 4 KB blocks.
constexpr std::uint64_t readOut(std::uint64_t bytes) { return kTableLoad + 1 + 1 + bytes / 4096; }
constexpr std::uint64_t kOpenPerDevice = 3;  // probe, chip ID address, chip ID read
// The download engine on `family` with `blocks` blocks; on families 102 to
// 105 the byte-program part gets its header bytes one command per byte.
constexpr std::uint64_t download(int family, std::uint64_t blocks, bool gpio, bool bytePerCommand) {
  if (family >= 106) {
    // Table, enable, block length twice, blocks, checksum, commit, disable,
    // five reset register writes.
    return kTableLoad + 1 + 2 + blocks + 1 + 1 + 1 + 5 * kRegister;
  }
  const std::uint64_t finalHeader = family == 105 ? 2 : 1;
  const std::uint64_t header = pageProgram(1);
  const std::uint64_t rewrite = bytePerCommand ? 6 * pageProgram(1) : pageProgram(6);
  const std::uint64_t final =
      bytePerCommand ? finalHeader * pageProgram(1) : pageProgram(finalHeader);
  return (gpio ? 4 * kRegister : 0) + kTableLoad + (family == 105 ? 1 : 0) + kStatusWrite + 1 + 2 +
         blocks + header + rewrite + 1 + final + kStatusWrite + 1;
}
// The sector-pair route over `units` units: table, protection cleared
// (status read, write enable, status write, status wait), per unit the
// erase address, a GET-LENGTH and two address/half pairs, the read-back of
// 64 KB, the final header byte, the protection, the reset.
constexpr std::uint64_t sectorPairs(std::uint64_t units) {
  return kTableLoad + kStatusWrite + units * 6 + readOut(0x10000) + pageProgram(1) + kStatusWrite +
         5 * kRegister;
}
}  // namespace seq

OpResult measureOnce(const OpSpec& op, bool keepTrace) {
  Rig rig(op.cameras, keepTrace, op.gpio);
  std::unique_ptr<CCameraDevice> device;
  if (op.setup) op.setup(rig, device);
  AllocObserver observer;
  rig.session().setRequestObserver(&observer);
  const Sample before = Snapshot(rig.session());
  const double cpu0 = cpuSeconds();
  const bool ok = op.run(rig, device);
  const double cpu1 = cpuSeconds();
  const Sample after = Snapshot(rig.session());
  rig.session().setRequestObserver(nullptr);
  OpResult r;
  r.name = op.name;
  r.d = after - before;
  r.mandatedNs = op.mandatedMs * kMs;
  r.ok = ok;
  r.sequenceRequests = op.sequenceRequests;
  if (op.sequenceRequests != 0 && r.d.firstPollRequests() != op.sequenceRequests) {
    std::printf("warning: %s: %llu requests at first poll, the sequences have %llu\n",
                op.name.c_str(), static_cast<unsigned long long>(r.d.firstPollRequests()),
                static_cast<unsigned long long>(op.sequenceRequests));
  }
  if (r.d.sleptNs != r.mandatedNs) {
    std::printf("note: %s: slept %.1f ms, mandated %.1f ms\n", op.name.c_str(),
                static_cast<double>(r.d.sleptNs) / 1e6, static_cast<double>(r.mandatedNs) / 1e6);
  }
  r.cpuMs = (cpu1 - cpu0) * 1e3;
  r.allocInside = observer.inside();
  r.allocBetween = observer.between();
  // The model's clock (microseconds) must agree with the sum of causes.
  const std::uint64_t clockNs = r.d.clockUs * 1000;
  const std::uint64_t sum = r.d.modelledNs();
  if (clockNs + 2000 < sum || sum + 2000 < clockNs) {
    std::printf("warning: %s: clock %llu us, causes %llu ns\n", op.name.c_str(),
                static_cast<unsigned long long>(r.d.clockUs), static_cast<unsigned long long>(sum));
  }
  return r;
}

OpResult measure(const OpSpec& op) {
  OpResult r = measureOnce(op, false);
  r.allocInsideTraced = measureOnce(op, true).allocInside;
  return r;
}

// ---- Operations ------------------------------------------------------------

std::vector<std::uint8_t> imageBuffer(std::uint32_t length) {
  // The update job's zero-filled 128 KB buffer; the embedded image repeated
  // to `length` bytes.
  std::vector<std::uint8_t> buffer(IMAGE_BUFFER_SIZE, 0);
  linux_host::LinuxResources resources;
  const auto image = resources.FindBinary(FIRMWARE_RESOURCE_ID);
  for (std::uint32_t i = 0; i < length && !image.empty(); ++i) buffer[i] = image[i % image.size()];
  return buffer;
}

std::uint32_t embeddedImageLength() {
  linux_host::LinuxResources resources;
  return static_cast<std::uint32_t>(resources.FindBinary(FIRMWARE_RESOURCE_ID).size());
}

void openFirst(Rig& rig, std::unique_ptr<CCameraDevice>& device) {
  device = std::make_unique<CCameraDevice>(rig.platform());
  if (device->OpenCamera(kFamilyAny, 0) != STATUS_OK) {
    std::fprintf(stderr, "bench: the camera did not open\n");
    std::exit(2);
  }
}

std::uint8_t flashTypeOf(const std::string& part) {
  for (const FlashPart& known : kFlashParts) {
    if (part == known.name) return known.code;
  }
  return 120;
}

int familyOf(int chipId) {
  ChipFamily family = CHIP_FAMILY_NONE;
  std::int32_t csAssert = 0;
  (void)ClassifyChipId(static_cast<std::uint8_t>(chipId), family, csAssert);
  return family;
}

std::uint64_t updateWaitsMs(int chipId, bool gpio) {
  const int family = chipId >> 4;
  const bool resets = family == 0xB || family == 0xC || family == 0xD;
  return kChecksumMs + (resets ? kResetMs : 0) + (gpio ? kGpioMs : 0);
}

OpSpec updateOp(const std::string& name, int chipId, const std::string& part, std::uint32_t length,
                bool gpio = false, std::uint8_t flashType = 0) {
  const std::uint8_t type = flashType != 0 ? flashType : flashTypeOf(part);
  // The sector-pair route (raw class 6) has no waits of its own.
  const std::uint64_t waits = type == 6 ? 0 : updateWaitsMs(chipId, gpio);
  const int family = familyOf(chipId);
  const std::uint64_t blocks = (length + 4095) / 4096;
  const std::uint64_t sequence = type == 6
                                     ? seq::sectorPairs(blocks)
                                     : seq::download(family, blocks, gpio, part == "SST25VF512");
  return OpSpec{name,
                {CameraSpec{chipId, part}},
                waits,
                openFirst,
                [length, type](Rig&, std::unique_ptr<CCameraDevice>& device) {
                  std::vector<std::uint8_t> buffer = imageBuffer(length);
                  std::uint8_t computed = 0, reported = 0, state = 0, progress = 0;
                  return device->DownloadFirmware(buffer.data(), length, type, &computed, &reported,
                                                  &state, &progress) == STATUS_OK;
                },
                gpio,
                sequence};
}

// The whole tool without a switch (a terse update) on `count` cameras of
// which camera `target` is the one the update is for.
OpSpec terseRunOp(const std::string& name, std::size_t count, std::size_t target, int chipId = 0x8A,
                  const std::string& part = "GD25Q512") {
  std::vector<CameraSpec> cameras(count, CameraSpec{chipId, part, "VID_046D&PID_0825"});
  cameras[target].usbIds = "VID_04F2&PID_B5BD";
  // The count walks every device; opening index i walks i + 1 of them.
  std::uint64_t settles = count;
  for (std::size_t i = 0; i <= target; ++i) settles += i + 1;
  // The count probes every device; each open reads the chip ID of every
  // device it visits; the target is identified and updated.
  const int family = familyOf(chipId);
  const std::uint64_t identify =
      family == 106 || family == 107 ? seq::kReadIdXu : seq::readId(true);
  const std::uint64_t sequence =
      count + (settles - count) * seq::kOpenPerDevice + identify +
      seq::download(family, (embeddedImageLength() + 4095) / 4096, false, part == "SST25VF512");
  return OpSpec{
      name,
      cameras,
      settles * kWalkSettleMs + updateWaitsMs(chipId, false),
      nullptr,
      [](Rig& rig, std::unique_ptr<CCameraDevice>&) { return RunQvflash({}, rig.platform()) == 0; },
      false,
      sequence};
}

// The whole tool with long options on `count` target cameras: --list
// (identification and the read-out of the image's span, nothing written)
// or --all (every camera updated). One walk lists them all, one settle wait
// per camera; each open takes the filter that walk bound.
OpSpec longRunOp(const std::string& name, std::size_t count, bool all) {
  std::vector<CameraSpec> cameras(count, CameraSpec{});
  const std::uint64_t perCamera =
      seq::kOpenPerDevice + seq::readId(true) +
      // --all backs each camera up first; --list reads the state; both
      // read twice.
      (all ? 2 * seq::readOut(kBackupSpanLimit) +
                 seq::download(104, (embeddedImageLength() + 4095) / 4096, false, false)
           : 2 * seq::readOut(0xC000));
  const std::uint64_t waits = count * (kWalkSettleMs + (all ? updateWaitsMs(0x8A, false) : 0));
  return OpSpec{name,
                cameras,
                waits,
                nullptr,
                [all](Rig& rig, std::unique_ptr<CCameraDevice>&) {
                  const std::vector<std::wstring> args{all ? L"--all" : L"--list"};
                  return RunQvflash(args, rig.platform()) == 0;
                },
                false,
                count + count * perCamera};
}

// The whole tool restoring 64 KB on family 104 through the SPI master,
// every sector different from the flash and no 32-byte run erased: the
// flash read twice before, the protection lifted, 16 sector erases and
// 2048 page programs of 32 bytes, the protection set, the read-back twice.
OpSpec restoreOp() {
  const std::string path =
      (std::filesystem::temp_directory_path() / "qvflash-bench-restore.bin").string();
  constexpr std::uint64_t kSectors = 0x10000 / 4096;
  constexpr std::uint64_t kErase =
      seq::kSimpleCommand + 2 * seq::kRegister + 4 * seq::kSend + seq::kRegister + seq::kStatusWait;
  const std::uint64_t sequence = 1 + seq::kOpenPerDevice + seq::readId(true) +
                                 4 * seq::readOut(0x10000) + 2 * seq::kStatusWrite +
                                 kSectors * (kErase + 128 * seq::pageProgram(32));
  return OpSpec{"whole --restore of 64 KB, fam 104 (all sectors differ)",
                {CameraSpec{}},
                kWalkSettleMs,
                [path](Rig&, std::unique_ptr<CCameraDevice>&) {
                  std::ofstream out(path, std::ios::binary);
                  for (std::uint32_t i = 0; i < 0x10000; ++i)
                    out.put(static_cast<char>(i * 7 + i / 251));
                },
                [path](Rig& rig, std::unique_ptr<CCameraDevice>&) {
                  const std::vector<std::wstring> args{
                      L"--restore", std::wstring(path.begin(), path.end()), L"--force"};
                  return RunQvflash(args, rig.platform()) == 0;
                },
                false,
                sequence};
}

std::vector<OpSpec> operations() {
  const std::uint32_t image = embeddedImageLength();
  std::vector<OpSpec> ops;
  ops.push_back({"count (1 camera)",
                 {CameraSpec{}},
                 kWalkSettleMs,
                 nullptr,
                 [](Rig& rig, std::unique_ptr<CCameraDevice>&) {
                   std::int32_t n = 0;
                   return CountCameras(rig.platform(), n) == 0 && n == 1;
                 }});
  ops.back().sequenceRequests = 1;
  ops.push_back({"open (camera 0 of 1)",
                 {CameraSpec{}},
                 kWalkSettleMs,
                 nullptr,
                 [](Rig& rig, std::unique_ptr<CCameraDevice>& device) {
                   device = std::make_unique<CCameraDevice>(rig.platform());
                   return device->OpenCamera(kFamilyAny, 0) == STATUS_OK;
                 }});
  ops.back().sequenceRequests = seq::kOpenPerDevice;
  auto identify = [](std::uint8_t expected) {
    return [expected](Rig&, std::unique_ptr<CCameraDevice>& device) {
      std::uint8_t type = 120;
      (void)device->QueryFlashType(type);
      return type == expected;
    };
  };
  ops.push_back({"identify GD25Q512, fam 104 (1 stage)",
                 {CameraSpec{0x8A, "GD25Q512"}},
                 0,
                 openFirst,
                 identify(122)});
  ops.back().sequenceRequests = seq::readId(true);
  ops.push_back({"identify AT25F512B, fam 104 (3 stages)",
                 {CameraSpec{0x8A, "AT25F512B"}},
                 0,
                 openFirst,
                 identify(141)});
  ops.back().sequenceRequests = 2 * seq::readId(true) + seq::readId(false);
  ops.push_back({"identify GD25Q512, fam 106 (XU)",
                 {CameraSpec{0xBA, "GD25Q512"}},
                 0,
                 openFirst,
                 identify(122)});
  ops.back().sequenceRequests = seq::kReadIdXu;
  ops.push_back({"command-table load",
                 {CameraSpec{}},
                 0,
                 openFirst,
                 [](Rig&, std::unique_ptr<CCameraDevice>& device) {
                   bool all = false;
                   (void)device->core()->LoadFlashCommandTable(122, all);
                   return all;
                 }});
  ops.back().sequenceRequests = seq::kTableLoad;
  ops.push_back({"dump 64 KB",
                 {CameraSpec{}},
                 0,
                 openFirst,
                 [](Rig&, std::unique_ptr<CCameraDevice>& device) {
                   std::vector<std::uint8_t> buffer(DUMP_SIZE, 0);
                   return device->DumpFlash(buffer.data(), 122) == STATUS_OK;
                 }});
  ops.back().sequenceRequests = seq::readOut(DUMP_SIZE);
  ops.push_back(updateOp("update fam 102, GD25Q512", 0x6A, "GD25Q512", image));
  ops.push_back(updateOp("update fam 103, GD25Q512", 0x9A, "GD25Q512", image));
  ops.push_back(updateOp("update fam 104, GD25Q512", 0x8A, "GD25Q512", image));
  ops.push_back(updateOp("update fam 104, GD25Q512, GPIO=1", 0x8A, "GD25Q512", image, true));
  ops.push_back(updateOp("update fam 104, MX25L512", 0x8A, "MX25L512", image));
  ops.push_back(updateOp("update fam 104, EN25F05", 0x8A, "EN25F05", image));
  ops.push_back(updateOp("update fam 104, SST25VF512", 0x8A, "SST25VF512", image));
  ops.push_back(updateOp("update fam 105, GD25Q512", 0xAA, "GD25Q512", image));
  ops.push_back(updateOp("update fam 106, GD25Q512", 0xBA, "GD25Q512", image));
  ops.push_back(updateOp("update fam 107, GD25Q512", 0xCA, "GD25Q512", image));
  ops.push_back(updateOp("update fam 108, GD25Q512", 0xDA, "GD25Q512", image));
  ops.push_back(
      updateOp("sector-pair route, fam 104, MX25L5121E", 0x8A, "MX25L5121E", image, false, 6));
  ops.push_back(terseRunOp("whole terse run, fam 104 (1 camera)", 1, 0));
  // Knowing before and after: the firmware state reads the flash over the
  // image's span (family 104: to 0xC000, its update rewrites 6 bytes at
  // 0xB70A), --if-needed on a current camera is count, open, identification
  // and that read-out, --verify is the update and the same read-out.
  // Every read-out of the long options reads its span twice.
  const std::uint64_t stateRead = seq::readId(true) + 2 * seq::readOut(0xC000);
  ops.push_back({"firmware state (--list read-out), fam 104",
                 {CameraSpec{}},
                 0,
                 openFirst,
                 [](Rig& rig, std::unique_ptr<CCameraDevice>& device) {
                   CameraRecord record;
                   record.family = 104;
                   (void)RecordFirmwareState(*device, rig.platform().resources.FindBinary(106),
                                             record);
                   return record.stateBefore == FirmwareState::Differs;
                 }});
  ops.back().sequenceRequests = stateRead;
  // The long options walk the cameras once (one settle wait per camera)
  // and open each listed camera through the filter that walk bound.
  ops.push_back({"whole --list run, fam 104 (1 camera)",
                 {CameraSpec{}},
                 kWalkSettleMs,
                 nullptr,
                 [](Rig& rig, std::unique_ptr<CCameraDevice>&) {
                   return RunQvflash(std::vector<std::wstring>{L"--list"}, rig.platform()) == 0;
                 }});
  ops.back().sequenceRequests = 1 + seq::kOpenPerDevice + stateRead;
  ops.push_back({"whole --if-needed run on a current camera, fam 104",
                 {CameraSpec{}},
                 kWalkSettleMs,
                 [](Rig& rig, std::unique_ptr<CCameraDevice>&) {
                   (void)RunQvflash({}, rig.platform());  // the camera is now current
                 },
                 [](Rig& rig, std::unique_ptr<CCameraDevice>&) {
                   return RunQvflash(std::vector<std::wstring>{L"--if-needed"}, rig.platform()) ==
                          0;
                 }});
  ops.back().sequenceRequests = 1 + seq::kOpenPerDevice + stateRead;
  // The backup before an update: the first 64 KB read twice and compared
  // (the file and its sidecar are the host's, outside the model). Its floor
  // is those two read-outs.
  ops.push_back({"backup 64 KB (two read-outs compared), fam 104",
                 {CameraSpec{}},
                 0,
                 openFirst,
                 [](Rig&, std::unique_ptr<CCameraDevice>& device) {
                   std::vector<std::uint8_t> buffer(kBackupSpanLimit, 0);
                   return ReadFlashChecked(*device->core(), buffer.data(), 122, 0, kBackupSpanLimit,
                                           ReadCheck::Twice);
                 }});
  ops.back().sequenceRequests = 2 * seq::readOut(kBackupSpanLimit);
  OpSpec verified = terseRunOp("whole --verify run, fam 104 (1 camera)", 1, 0);
  verified.run = [](Rig& rig, std::unique_ptr<CCameraDevice>&) {
    return RunQvflash(std::vector<std::wstring>{L"--verify"}, rig.platform()) == 0;
  };
  // The backup, then the read-back over the backup's span, each read twice.
  verified.sequenceRequests += 4 * seq::readOut(kBackupSpanLimit);
  verified.mandatedMs -= kWalkSettleMs;
  ops.push_back(verified);
  // The same without the backup: the difference is what the backup adds to
  // a whole run.
  OpSpec unbacked = verified;
  unbacked.name = "whole --verify --no-backup run, fam 104 (1 camera)";
  unbacked.run = [](Rig& rig, std::unique_ptr<CCameraDevice>&) {
    return RunQvflash(std::vector<std::wstring>{L"--verify", L"--no-backup"}, rig.platform()) == 0;
  };
  unbacked.sequenceRequests -= 4 * seq::readOut(kBackupSpanLimit);
  unbacked.sequenceRequests += 2 * seq::readOut(0xC000);
  ops.push_back(unbacked);
  ops.push_back(terseRunOp("whole terse run, fam 106 (1 camera)", 1, 0, 0xBA));
  ops.push_back(restoreOp());
  return ops;
}

// ---- Printing ----------------------------------------------------------------

double ms(std::uint64_t ns) { return static_cast<double>(ns) / 1e6; }

void printOperations(const std::vector<OpResult>& results) {
  std::printf("\n## Operations on the simulated camera (virtual clock)\n\n");
  std::printf(
      "| operation | ok | requests | at first poll | sequences | bytes | modelled ms | waits ms | "
      "transfers ms | chip engine ms | floor ms | modelled/floor | above floor ms |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const OpResult& r : results) {
    const std::uint64_t floorNs = r.d.floorNs(r.mandatedNs);
    std::printf(
        "| %s | %s | %llu | %llu | %llu | %llu | %.1f | %.1f | %.1f | %.1f | %.1f | %.3f | "
        "%.1f |\n",
        r.name.c_str(), r.ok ? "yes" : "NO", static_cast<unsigned long long>(r.d.requests),
        static_cast<unsigned long long>(r.d.firstPollRequests()),
        static_cast<unsigned long long>(r.sequenceRequests),
        static_cast<unsigned long long>(r.d.bytes), ms(r.d.modelledNs()), ms(r.d.sleptNs),
        ms(r.d.transferNs), ms(r.d.engineNs), ms(floorNs), r.ratio(),
        ms(r.d.modelledNs() - floorNs));
  }
  std::printf("\n## Flash busy time and busy polls\n\n");
  std::printf(
      "| operation | flash busy in engine ms | flash busy by host commands ms | status polls "
      "answered busy | SPI polls answered busy | mandated waits ms | waits slept ms |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
  for (const OpResult& r : results) {
    std::printf(
        "| %s | %.1f | %.1f | %llu | %llu | %.0f | %.0f |\n", r.name.c_str(), ms(r.d.engineBusyNs),
        ms(r.d.hostBusyNs), static_cast<unsigned long long>(r.d.hostBusyStatusReads),
        static_cast<unsigned long long>(r.d.spiBusyAnswers), ms(r.mandatedNs), ms(r.d.sleptNs));
  }
}

void printAllocations(const std::vector<OpResult>& results) {
  std::printf("\n## Heap allocations around the request path\n\n");
  std::printf(
      "Counted by the benchmark's operator new. 'inside' = within each request's handling by "
      "the simulator (trace lines not kept / kept); 'between' = the logic from the first "
      "request of the operation to its last.\n\n");
  std::printf(
      "| operation | requests | inside (no trace) | inside (trace kept) | between | (inside + "
      "between) per "
      "request | host CPU ms |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
  for (const OpResult& r : results) {
    const double per = r.d.requests > 0 ? static_cast<double>(r.allocInside + r.allocBetween) /
                                              static_cast<double>(r.d.requests)
                                        : 0.0;
    std::printf("| %s | %llu | %llu | %llu | %llu | %.4f | %.2f |\n", r.name.c_str(),
                static_cast<unsigned long long>(r.d.requests),
                static_cast<unsigned long long>(r.allocInside),
                static_cast<unsigned long long>(r.allocInsideTraced),
                static_cast<unsigned long long>(r.allocBetween), per, r.cpuMs);
  }
}

void printCameraGrowth(bool quick) {
  std::printf("\n## Growth with the number of cameras (whole terse run, family 104)\n\n");
  std::printf(
      "| cameras | target | requests | modelled s | waits s | floor s | modelled/floor | host "
      "CPU ms |\n");
  std::printf("|---:|---|---:|---:|---:|---:|---:|---:|\n");
  const std::vector<std::size_t> counts =
      quick ? std::vector<std::size_t>{1, 4, 16} : std::vector<std::size_t>{1, 2, 4, 8, 16};
  for (std::size_t n : counts) {
    for (bool last : {false, true}) {
      if (n == 1 && last) continue;
      const OpResult r = measureOnce(terseRunOp("run", n, last ? n - 1 : 0), false);
      std::printf("| %zu | %s | %llu | %.2f | %.2f | %.2f | %.3f | %.1f |\n", n,
                  last ? "last" : "first", static_cast<unsigned long long>(r.d.requests),
                  ms(r.d.modelledNs()) / 1e3, ms(r.d.sleptNs) / 1e3,
                  ms(r.d.floorNs(r.mandatedNs)) / 1e3, r.ratio(), r.cpuMs);
    }
  }
}

void printLongOptionGrowth() {
  std::printf(
      "\n## Growth with the number of cameras (--list and --all, every camera a target, family "
      "104)\n\n");
  std::printf(
      "| cameras | run | requests | at first poll | sequences | modelled s | waits s | floor s | "
      "modelled/floor | host CPU ms |\n");
  std::printf("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (std::size_t n : {1, 4, 16}) {
    for (bool all : {false, true}) {
      const OpResult r = measureOnce(longRunOp(all ? "--all" : "--list", n, all), false);
      std::printf("| %zu | %s | %llu | %llu | %llu | %.2f | %.2f | %.2f | %.3f | %.1f |\n", n,
                  all ? "--all" : "--list", static_cast<unsigned long long>(r.d.requests),
                  static_cast<unsigned long long>(r.d.firstPollRequests()),
                  static_cast<unsigned long long>(r.sequenceRequests), ms(r.d.modelledNs()) / 1e3,
                  ms(r.d.sleptNs) / 1e3, ms(r.d.floorNs(r.mandatedNs)) / 1e3, r.ratio(), r.cpuMs);
    }
  }
}

void printImageGrowth() {
  std::printf("\n## Growth with the image size (update engine, family 104, GD25Q512)\n\n");
  std::printf(
      "| image bytes | blocks | requests | modelled ms | chip engine ms | floor ms | "
      "modelled/floor |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|\n");
  for (std::uint32_t length : {4096u, 8192u, 16384u, 32786u, 65536u}) {
    const OpResult r = measureOnce(updateOp("update", 0x8A, "GD25Q512", length), false);
    std::printf("| %u | %u | %llu | %.1f | %.1f | %.1f | %.3f |\n", length, (length + 4095) / 4096,
                static_cast<unsigned long long>(r.d.requests), ms(r.d.modelledNs()),
                ms(r.d.engineNs), ms(r.d.floorNs(r.mandatedNs)), r.ratio());
  }
}

// ---- The logic's request path alone: a channel over non-allocating fakes ---

class QuietKsControl final : public IKsControl {
 public:
  HResult KsProperty(KSP_NODE* property, std::uint32_t, void* data, std::uint32_t length,
                     std::uint32_t* returned) override {
    if ((property->Property.Flags & kKsPropertyTypeGet) != 0) {
      if (length == 0) {
        if (returned != nullptr) *returned = 1;
        return hr::MoreData;
      }
      std::memset(data, 0, length);
    }
    return hr::Ok;
  }
};

class QuietTopology final : public IKsTopologyInfo {
 public:
  HResult get_NumNodes(std::uint32_t* count) override {
    *count = 1;
    return hr::Ok;
  }
  HResult get_NodeType(std::uint32_t, Guid* type) override {
    *type = kKsNodeTypeDevSpecific;
    return hr::Ok;
  }
};

class QuietPrivate final : public IVendorXuAccess {
 public:
  HResult SendRequest(std::uint32_t, std::uint8_t* block) override {
    length_ = block[0] | (block[1] << 8);
    return hr::Ok;
  }
  HResult ReadReply(std::uint32_t, std::uint8_t* buffer) override {
    std::memset(buffer, 0, std::max<std::uint32_t>(length_, 2));
    return hr::Ok;
  }

 private:
  std::uint32_t length_ = 0;
};

struct FakeChannel {
  QuietKsControl ks;
  QuietTopology topology;
  QuietPrivate privateXu;
  CXuChannel channel;
  explicit FakeChannel(bool privateRoute) {
    if (privateRoute) {
      channel.setMode(XU_MODE_PRIVATE);
      channel.SetPrivateInterface(&privateXu);
    } else {
      channel.setMode(XU_MODE_KS);
      (void)channel.FindExtensionUnit(&topology, &ks);
    }
  }
};

// One request of each kind through the channel.
void channelRequest(CXuChannel& channel, int kind, std::uint8_t* buffer) {
  std::uint32_t length = 0;
  switch (kind) {
    case 0:
      (void)channel.SetControl(XU_REG_ADDR, 2, buffer);
      break;
    case 1:
      (void)channel.GetControl(XU_REG_DATA, 1, buffer);
      break;
    case 2:
      (void)channel.GetControlLength(XU_DFU_DATA, &length);
      break;
    default:
      (void)channel.SetControl(XU_DFU_DATA, 4096, buffer);
      break;
  }
}

// Allocations per request of the logic's channel over the fakes (both
// routes, every request kind).
double fakeChannelAllocationsPerRequest(std::uint64_t& requests) {
  static std::uint8_t buffer[4096];
  const std::uint64_t before = allocCounters().allocations;
  requests = 0;
  for (bool privateRoute : {false, true}) {
    FakeChannel fake(privateRoute);
    const std::uint64_t start = allocCounters().allocations;
    for (int i = 0; i < 25'000; ++i) {
      channelRequest(fake.channel, i % 4, buffer);
      ++requests;
    }
    if (allocCounters().allocations != start) {
      std::printf("note: the channel allocated on the %s route\n", privateRoute ? "private" : "KS");
    }
  }
  // Setting up the fakes allocates nothing either; everything counted here
  // is on the request path.
  return static_cast<double>(allocCounters().allocations - before) / static_cast<double>(requests);
}

// ---- Google Benchmark: host time ---------------------------------------------

void BM_UpdateEngine104(benchmark::State& state, bool keepTrace) {
  const std::uint32_t length = embeddedImageLength();
  std::uint64_t requests = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto rig = std::make_unique<Rig>(std::vector<CameraSpec>{CameraSpec{}}, keepTrace);
    std::unique_ptr<CCameraDevice> device;
    openFirst(*rig, device);
    std::vector<std::uint8_t> buffer = imageBuffer(length);
    const Sample before = Snapshot(rig->session());
    state.ResumeTiming();
    std::uint8_t c = 0, d = 0, s = 0, p = 0;
    benchmark::DoNotOptimize(device->DownloadFirmware(buffer.data(), length, 122, &c, &d, &s, &p));
    state.PauseTiming();
    requests += (Snapshot(rig->session()) - before).requests;
    device.reset();
    rig.reset();
    state.ResumeTiming();
  }
  state.counters["requests"] =
      benchmark::Counter(static_cast<double>(requests), benchmark::Counter::kAvgIterations);
  state.counters["time/request"] = benchmark::Counter(
      static_cast<double>(requests), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_RegisterReadSim(benchmark::State& state) {
  Rig rig({CameraSpec{}}, false);
  std::unique_ptr<CCameraDevice> device;
  openFirst(rig, device);
  CCameraCore& core = *device->core();
  std::uint8_t value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(core.ReadRegister(0x2021, value));
  }
  state.counters["time/request"] =
      benchmark::Counter(static_cast<double>(state.iterations() * 2),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ChannelFake(benchmark::State& state, bool privateRoute, int kind) {
  FakeChannel fake(privateRoute);
  static std::uint8_t buffer[4096];
  for (auto _ : state) {
    channelRequest(fake.channel, kind, buffer);
    benchmark::ClobberMemory();
  }
}

void registerBenchmarks() {
  benchmark::RegisterBenchmark("update engine fam 104 (sim, no trace)", BM_UpdateEngine104, false)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("update engine fam 104 (sim, trace kept)", BM_UpdateEngine104, true)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("register read (sim, 2 requests)", BM_RegisterReadSim);
  benchmark::RegisterBenchmark("channel SET 2 bytes (KS fake)", BM_ChannelFake, false, 0);
  benchmark::RegisterBenchmark("channel GET 1 byte (KS fake)", BM_ChannelFake, false, 1);
  benchmark::RegisterBenchmark("channel GET-LENGTH (KS fake)", BM_ChannelFake, false, 2);
  benchmark::RegisterBenchmark("channel SET 4096 bytes (KS fake)", BM_ChannelFake, false, 3);
  benchmark::RegisterBenchmark("channel SET 2 bytes (private fake)", BM_ChannelFake, true, 0);
  benchmark::RegisterBenchmark("channel GET 1 byte (private fake)", BM_ChannelFake, true, 1);
  benchmark::RegisterBenchmark("channel SET 4096 bytes (private fake)", BM_ChannelFake, true, 3);
}

std::string number(double value) {
  char text[32];
  if (value == static_cast<double>(static_cast<std::uint64_t>(value))) {
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
  } else {
    std::snprintf(text, sizeof text, "%.4f", value);
  }
  return text;
}

}  // namespace
}  // namespace qv::bench

int main(int argc, char** argv) {
  using namespace qv;
  using namespace qv::bench;
  bool quick = false;
  std::vector<char*> args;
  args.push_back(argv[0]);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  static char quickMinTime[] = "--benchmark_min_time=0.01";
  if (quick) args.push_back(quickMinTime);
  int benchArgc = static_cast<int>(args.size());
  args.push_back(nullptr);

  std::printf("# qvflash benchmark%s\n", quick ? " (quick mode)" : "");
  std::printf(
      "\nTiming model: %llu us + %.4f us per data byte per request; status poll %.3f ms; "
      "SPI busy poll %.3f ms.\n",
      static_cast<unsigned long long>(qv::sim::kRequestFixedNs / 1000),
      static_cast<double>(qv::sim::kRequestPerBytePs) / 1e6, ms(kStatusPollNs), ms(kSpiPollNs));

  std::vector<OpResult> results;
  for (const OpSpec& op : operations()) results.push_back(measure(op));
  printOperations(results);
  printAllocations(results);
  printCameraGrowth(quick);
  printLongOptionGrowth();
  printImageGrowth();

  std::uint64_t fakeRequests = 0;
  const double fakePer = fakeChannelAllocationsPerRequest(fakeRequests);
  std::printf(
      "\n## The logic's channel alone (non-allocating fake IKsControl / private interface)\n\n");
  std::printf(
      "%llu requests (SET, GET, GET-LENGTH, 4 KB SET; both routes): %s allocations per "
      "request.\n",
      static_cast<unsigned long long>(fakeRequests), number(fakePer).c_str());

  // Memory: the heap high-water mark of one family-104 update engine run
  // (everything it allocates beyond what was live at its start), and the
  // process's peak resident set.
  {
    Rig rig({CameraSpec{}}, false);
    std::unique_ptr<CCameraDevice> device;
    openFirst(rig, device);
    std::vector<std::uint8_t> buffer = imageBuffer(embeddedImageLength());
    const std::size_t live = allocCounters().liveBytes;
    resetPeakLiveBytes();
    std::uint8_t c = 0, d = 0, s = 0, p = 0;
    (void)device->DownloadFirmware(buffer.data(), embeddedImageLength(), 122, &c, &d, &s, &p);
    std::printf(
        "\n## Memory\n\nHeap high-water of one update engine run above what was live at "
        "its start: %zu bytes (live at start, scene and image buffer included: %zu "
        "bytes).\n",
        allocCounters().peakLiveBytes - live, live);
  }

  std::printf("\n## Host time (Google Benchmark)\n\n");
  std::fflush(stdout);
  registerBenchmarks();
  benchmark::Initialize(&benchArgc, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("\nPeak resident set of the benchmark process: %ld KB.\n", usage.ru_maxrss);

  const OpResult* update = nullptr;
  for (const OpResult& r : results) {
    if (r.name == "update fam 104, GD25Q512") update = &r;
  }
  const double perRequest = static_cast<double>(update->allocInside + update->allocBetween) /
                            static_cast<double>(update->d.requests);
  bool allOk = true;
  for (const OpResult& r : results) allOk = allOk && r.ok;
  if (!allOk) std::printf("warning: an operation failed (see the ok column)\n");
  std::printf("update modelled/floor %.3f; allocations per request %s\n", update->ratio(),
              number(perRequest).c_str());
  std::fflush(stdout);
  return allOk ? 0 : 1;
}
