#pragma once
// The benchmark's rig: a simulated scene of cameras, the platform the logic
// runs on (Linux files, profile and resources in a scratch folder, a silent
// console, a guard that always lets the run go ahead), and snapshots of the
// simulator's accounting (sim/README.md, "Accounting").

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/linux_file_system.h"
#include "platform/linux/linux_profile.h"
#include "platform/linux/linux_resources.h"
#include "platform/platform.h"
#include "platform/sim/sim_session.h"
#include "sim/camera_model.h"

namespace qv::bench {

// A fresh folder standing for the executable's folder; removed at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    for (const char* base : {"/dev/shm", "/tmp"}) {
      std::string pattern = std::string(base) + "/qvflash-bench-XXXXXX";
      if (::mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
        return;
      }
    }
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  bool ok() const { return !path_.empty(); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class FolderFiles : public linux_host::LinuxFileSystem {
 public:
  explicit FolderFiles(const ScratchFolder& folder) {
    const std::string narrow = folder.file("qvflash");
    executable_.assign(narrow.begin(), narrow.end());
  }
  bool ExecutablePath(std::wstring& path) override {
    path = executable_;
    return true;
  }
  // Backups and the history stay in the scratch folder, never the home.
  bool StateFolder(std::wstring& folder) override {
    folder = executable_.substr(0, executable_.rfind(L'/') + 1) + L"state/qvflash/";
    return true;
  }

 private:
  std::wstring executable_;
};

class SilentConsole : public IConsole {
 public:
  void WriteWide(std::wstring_view) override {}
  void WriteNarrow(std::string_view) override {}
  void WriteError(std::string_view) override {}
  bool ErrorIsTerminal() override { return false; }
};

class FreeGuard : public IInstanceGuard {
 public:
  Result Create(std::wstring_view) override { return Result::Created; }
};

// One camera of a scene.
struct CameraSpec {
  int chipId = 0x8A;  // family 104
  std::string part = "GD25Q512";
  std::string usbIds = "VID_04F2&PID_B5BD";  // the target camera
};

// Scene text: camera n carries the token "1a2b3c<nn>" in its device path and
// in its Image-class node, so the identity lookup finds it.
inline std::string SceneText(const std::vector<CameraSpec>& cameras) {
  nlohmann::json scene;
  scene["cameras"] = nlohmann::json::array();
  scene["image_devices"] = nlohmann::json::array();
  for (std::size_t n = 0; n < cameras.size(); ++n) {
    char token[32];
    std::snprintf(token, sizeof token, "1a2b3c%02zu", n);
    char upper[32];
    std::snprintf(upper, sizeof upper, "1A2B3C%02zu", n);
    const CameraSpec& c = cameras[n];
    scene["cameras"].push_back(
        {{"device_path", std::string("\\\\?\\usb#vid_04f2&pid_b5bd&mi_00#6&") + token +
                             "&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global"},
         {"chip_id", c.chipId},
         {"flash", c.part}});
    scene["image_devices"].push_back(
        {{"instance_id", "USB\\" + c.usbIds + "&MI_00\\6&" + upper + "&0&0000"},
         {"hardware_ids", {"USB\\" + c.usbIds + "&REV_0100", "USB\\" + c.usbIds}},
         {"address", 3 + static_cast<int>(n)},
         {"grandparent_id", "USB\\ROOT_HUB30\\4&2E1B7C0&0&0"}});
  }
  return scene.dump();
}

// A scene and the platform the logic runs on.
class Rig {
 public:
  Rig(const std::vector<CameraSpec>& cameras, bool keepTraceLines, bool gpio = false)
      : files_(folder_) {
    if (gpio) {
      std::ofstream ini(folder_.file("setting.ini"));
      ini << "[SETTING]\nGPIO=1\n";
    }
    std::string error;
    session_ = sim::SimSession::OpenText(SceneText(cameras), folder_.file(""), "bench", error);
    if (!session_) {
      std::fprintf(stderr, "bench: scene refused: %s\n", error.c_str());
      std::exit(2);
    }
    session_->setKeepTraceLines(keepTraceLines);
    platform_ = std::make_unique<Platform>(Platform{session_->cameras(), session_->registry(),
                                                    session_->clock(), files_, resources_, profile_,
                                                    guard_, console_});
  }

  sim::SimSession& session() { return *session_; }
  const Platform& platform() const { return *platform_; }

 private:
  ScratchFolder folder_;
  FolderFiles files_;
  linux_host::LinuxResources resources_;
  linux_host::LinuxProfile profile_;
  FreeGuard guard_;
  SilentConsole console_;
  std::unique_ptr<sim::SimSession> session_;
  std::unique_ptr<Platform> platform_;
};

// ---- The timing model's figures ------------------------------------------

// The transfer cost of one request carrying `bytes` data bytes, as the
// simulator charges it.
constexpr std::uint64_t TransferNs(std::uint64_t bytes) {
  return sim::kRequestFixedNs + bytes * sim::kRequestPerBytePs / 1000;
}
// One busy-register poll of the SPI master: SET 2 (2 bytes), GET 3 (1 byte).
inline constexpr std::uint64_t kSpiPollNs = TransferNs(2) + TransferNs(1);
// One Read Status Register transaction of the host: select, send 0x05 with
// its busy poll, receive (discarded read, busy poll, data read), release:
// seven register accesses of an address SET (2 bytes) and a data request
// (1 byte).
inline constexpr std::uint64_t kStatusPollNs = 7 * (TransferNs(2) + TransferNs(1));

// The accounting of a whole scene at one moment.
struct Sample {
  std::uint64_t clockUs = 0;
  std::uint64_t sleptNs = 0;
  std::uint64_t requests = 0;
  std::uint64_t bytes = 0;
  std::uint64_t transferNs = 0;
  std::uint64_t engineNs = 0;
  std::uint64_t spiBusyAnswers = 0;
  std::uint64_t hostBusyStatusReads = 0;
  std::uint64_t hostBusyNs = 0;  // flash busy time started by host commands
  // Of it, what one status poll does not cover: the part of each busy
  // period longer than one Read Status transaction.
  std::uint64_t hostBusyBeyondPollNs = 0;
  std::uint64_t engineBusyNs = 0;  // flash busy time started by the chip's engine

  // The requests less the busy polls that did not end their wait: an SPI
  // poll is one register read, a status poll one Read Status transaction.
  std::uint64_t firstPollRequests() const {
    return requests - spiBusyAnswers * 2 - hostBusyStatusReads * 14;
  }
  // The simulated time as the sum of its causes.
  std::uint64_t modelledNs() const { return sleptNs + transferNs + engineNs; }
  // Time above the floor spent on busy polls: SPI polls that answered busy
  // and status polls beyond those the flash's busy time forces.
  std::uint64_t extraPollNs() const {
    const std::uint64_t statusPolls = hostBusyStatusReads * kStatusPollNs;
    const std::uint64_t forced = std::min(statusPolls, hostBusyBeyondPollNs);
    return spiBusyAnswers * kSpiPollNs + statusPolls - forced;
  }
  // The protocol's floor for this stretch: the mandated waits, the
  // requests of the fixed sequences with every busy wait answered at its
  // first poll, the flash busy time no first poll covers, and the chip's
  // engine (its SPI traffic and the flash's program and erase time).
  std::uint64_t floorNs(std::uint64_t mandatedWaitNs) const {
    return mandatedWaitNs + transferNs + engineNs - extraPollNs();
  }
};

inline Sample Snapshot(sim::SimSession& session) {
  Sample s;
  s.clockUs = session.clock().NowMicroseconds();
  s.sleptNs = session.sleptNs();
  for (std::size_t i = 0; i < session.cameraCount(); ++i) {
    sim::CameraModel& camera = session.camera(i);
    const sim::RequestAccounting& r = camera.accounting();
    s.requests += r.requests;
    s.bytes += r.bytes;
    s.transferNs += r.transferNs;
    s.engineNs += r.engineNs;
    s.spiBusyAnswers += r.spiBusyAnswers;
    const sim::FlashAccounting& f = camera.flashChip().accounting();
    s.hostBusyStatusReads += f.hostBusyStatusReads;
    const sim::BusyTimes& t = camera.flashChip().part().times;
    const std::array<std::uint64_t, sim::kBusyKindCount> ns = {
        std::uint64_t{t.pageProgram} * 1000, std::uint64_t{t.sectorErase} * 1000,
        std::uint64_t{t.blockErase} * 1000, std::uint64_t{t.chipErase} * 1000,
        std::uint64_t{t.statusWrite} * 1000};
    for (std::size_t k = 0; k < sim::kBusyKindCount; ++k) {
      s.hostBusyNs += f.hostBusy[k] * ns[k];
      s.hostBusyBeyondPollNs += f.hostBusy[k] * (ns[k] > kStatusPollNs ? ns[k] - kStatusPollNs : 0);
      s.engineBusyNs += f.engineBusy[k] * ns[k];
    }
  }
  return s;
}

inline Sample operator-(const Sample& b, const Sample& a) {
  Sample d;
  d.clockUs = b.clockUs - a.clockUs;
  d.sleptNs = b.sleptNs - a.sleptNs;
  d.requests = b.requests - a.requests;
  d.bytes = b.bytes - a.bytes;
  d.transferNs = b.transferNs - a.transferNs;
  d.engineNs = b.engineNs - a.engineNs;
  d.spiBusyAnswers = b.spiBusyAnswers - a.spiBusyAnswers;
  d.hostBusyStatusReads = b.hostBusyStatusReads - a.hostBusyStatusReads;
  d.hostBusyNs = b.hostBusyNs - a.hostBusyNs;
  d.hostBusyBeyondPollNs = b.hostBusyBeyondPollNs - a.hostBusyBeyondPollNs;
  d.engineBusyNs = b.engineBusyNs - a.engineBusyNs;
  return d;
}

}  // namespace qv::bench
