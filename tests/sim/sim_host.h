#pragma once
// A small host for the simulator tests: opens a scene, binds one camera's
// Kernel Streaming control or private interface and sends extension-unit
// requests, register accesses and SPI flash sequences the way a host tool
// does. It links only the simulator.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "base/guid.h"
#include "platform/sim/sim_session.h"
#include "sim/camera_model.h"

namespace qv::sim::test {

// Scene text with one camera whose keys are given as JSON members.
inline std::string oneCamera(const std::string& members = "") {
  return R"({"cameras": [{"device_path": "\\\\?\\usb#vid_04f2&pid_b5bd&mi_00#6&1a2b3c4d&0&0000#{x}")" +
         (members.empty() ? std::string() : ", " + members) + "}]}";
}

std::unique_ptr<SimSession> openScene(const std::string& text, const std::string& baseDir = "");

class Host {
 public:
  // Opens camera `index` of the session over its Kernel Streaming control
  // (node `node`, property set `set`) or, when `usePrivate`, its private
  // interface.
  Host(SimSession& session, std::size_t index = 0, bool usePrivate = false, std::uint32_t node = 0,
       Guid set = XU_GUID_PRIMARY);
  ~Host();

  HResult set(std::uint32_t selector, std::vector<std::uint8_t> data);
  HResult get(std::uint32_t selector, std::uint32_t length, std::vector<std::uint8_t>& out);
  HResult len(std::uint32_t selector, std::uint32_t& length);

  void writeReg(std::uint16_t address, std::uint8_t value);
  std::uint8_t readReg(std::uint16_t address);

  // SPI flash sequences through the chip's SPI master registers.
  void select();
  void release();
  void send(std::uint8_t byte);
  std::uint8_t receive();
  void command(std::initializer_list<std::uint8_t> bytes);
  std::uint8_t readStatus();                   // one Read Status transaction
  std::uint8_t waitReady(int limit = 100000);  // polls until WIP clears
  void writeStatus(std::uint8_t value, bool ewsr = false);
  void pageProgram(std::uint32_t address, const std::vector<std::uint8_t>& data);
  std::array<std::uint8_t, 3> readId(std::uint8_t command);

  // Loads a command table (entries 1..12, then the mode byte).
  void loadTable(const std::array<std::uint8_t, 13>& table);

  SimSession& session() { return session_; }
  CameraModel& model() { return session_.camera(index_); }
  std::uint8_t csAssert() const { return csAssert_; }

 private:
  SimSession& session_;
  std::size_t index_;
  bool private_;
  KSP_NODE property_{};
  std::unique_ptr<IMonikerEnum> enum_;
  std::unique_ptr<IDeviceMoniker> moniker_;
  std::unique_ptr<ICaptureFilter> filter_;
  std::unique_ptr<IKsControl> ks_;
  std::unique_ptr<IVendorXuAccess> xu_;
  std::uint8_t csAssert_ = 0;
  std::array<std::uint8_t, kXuRequestBlockSize> block_{};
};

// The tool's seven command tables (entries 1..12 and the mode byte).
extern const std::array<std::array<std::uint8_t, 13>, 7> kTables;

// Trace lines from `from` on.
std::vector<std::string> linesFrom(const SimSession& session, std::size_t from);

}  // namespace qv::sim::test
