#pragma once
// The USB/IP camera server: the cameras of one scene, each served as a USB
// device on its own stream socket in a single poll() loop, attached to the
// kernel's virtual host controller through its sysfs attach file.

#include <poll.h>
#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/camera_model.h"
#include "sim/scene.h"
#include "sim/sim_clock.h"
#include "sim/trace.h"
#include "sim/usbip/usb_camera.h"
#include "sim/usbip/usbip_link.h"

namespace qv::sim::usbip {

inline constexpr const char* kDefaultAttachPath = "/sys/devices/platform/vhci_hcd.0/attach";
// vhci_hcd.0's high-speed root-hub ports.
inline constexpr std::uint32_t kFirstPort = 0;
inline constexpr std::uint32_t kPortCount = 15;
inline constexpr std::uint32_t kSpeedHigh = 3;
inline constexpr std::uint32_t kSpeedSuper = 5;
// At exit and on unplug, how long a peer may take to read what is left.
inline constexpr int kDrainMs = 1000;
// A camera back from its chip reset takes its old port again; while the
// kernel has not released the port yet (EBUSY), it tries again this often,
// for at most kReturnLimitMs.
inline constexpr int kReturnRetryMs = 100;
inline constexpr int kReturnLimitMs = 5000;

// The devid a camera announces: bus 1, device 2 + index.
constexpr std::uint32_t devidOf(std::size_t camera) {
  return (1u << 16) | static_cast<std::uint32_t>(camera + 2);
}

struct Attachment {
  std::uint32_t port = 0;
  std::uint32_t devid = 0;
};

class UsbipServer {
 public:
  // Reads and checks the scene and the flash files; replaces the trace file.
  // Errors read "<displayName>: <problem>".
  static std::unique_ptr<UsbipServer> open(const std::string& scenePath, std::string& error);
  static std::unique_ptr<UsbipServer> openText(const std::string& text, const std::string& baseDir,
                                               const std::string& displayName, std::string& error);
  ~UsbipServer();
  UsbipServer(const UsbipServer&) = delete;
  UsbipServer& operator=(const UsbipServer&) = delete;

  std::size_t cameraCount() const { return cameras_.size(); }
  CameraModel& model(std::size_t camera) { return *cameras_.at(camera)->model; }
  UsbCamera& usbCamera(std::size_t camera) { return *cameras_.at(camera)->usb; }
  const TraceSink& trace() const { return trace_; }
  // The camera is pulled before it answers anything (`unplug_after` 0).
  bool unpluggedFromStart(std::size_t camera);

  // Serves a camera on a connected stream socket (takes the descriptor).
  void serve(std::size_t camera, int fd, std::uint32_t devid);
  // Connects a camera to the virtual host controller: a loopback TCP
  // connection to itself, the kernel's end written to `attachPath` with the
  // camera's speed (high, or super for `usb.speed` "super") and the first
  // port free from `firstPort` on that speed's root hub (the speed picks
  // the hub, the port the hub's port). False with `error`.
  bool attach(std::size_t camera, const std::string& attachPath, std::uint32_t firstPort,
              Attachment& out, std::string& error);
  // The camera dropped off after its chip reset and will be attached again
  // (on the port it had, with the same speed and devid).
  bool returning(std::size_t camera) const { return cameras_.at(camera)->returnAtMs.has_value(); }

  // One round of the loop: waits up to `timeoutMs` (-1: no limit) for the
  // sockets or a camera's return, with `signalMask` (if any) in force while
  // waiting. False when no camera is served or returning any more.
  bool pollOnce(int timeoutMs, const sigset_t* signalMask = nullptr);
  bool serving() const;
  bool served(std::size_t camera) const;

  // Ends the run: sends what is left (bounded), closes every connection,
  // writes END to the trace (on a normal end) and the flash files back.
  // False when a file could not be written.
  bool finish(bool normalEnd = true);

 private:
  struct Camera {
    std::unique_ptr<CameraModel> model;
    std::unique_ptr<UsbCamera> usb;
    std::unique_ptr<UsbipLink> link;
    int fd = -1;
    std::optional<std::uint64_t> flushDeadlineMs;  // while unplugging
    // Where attach() placed it: its way back after a chip reset.
    std::string attachPath;
    std::optional<std::uint32_t> port;
    std::optional<std::uint64_t> returnAtMs;  // off the bus, back at this time
    std::uint64_t returnLimitMs = 0;
  };
  UsbipServer(Scene scene);
  // One attach on `port`: 1 attached, 0 the port is busy, -1 failed.
  int attachOn(std::size_t camera, const std::string& attachPath, std::uint32_t port,
               std::string& error);
  // Attaches the cameras whose return is due.
  void attachReturning();
  void closeCamera(Camera& camera, const char* why);
  // Off the bus after the chip reset: closed, and due back unless "never".
  void dropOff(Camera& camera);
  bool writeOut(Camera& camera);

  Scene scene_;
  // The poll set of one round, kept between rounds.
  std::vector<pollfd> pollFds_;
  std::vector<Camera*> pollOwners_;
  SimClock clock_;
  TraceSink trace_;
  std::vector<std::unique_ptr<Camera>> cameras_;
  bool finished_ = false;
};

}  // namespace qv::sim::usbip
