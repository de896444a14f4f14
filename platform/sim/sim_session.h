#pragma once
// The simulated camera stack, switched on by QVFLASH_SIM: a scene file
// describes the cameras and Image-class devices; requests run against the
// camera model of sim/ and are written to the request trace.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/camera_stack.h"
#include "platform/device_registry.h"
#include "platform/os_services.h"

namespace qv::sim {

class CameraModel;
class RequestObserver;

class SimSession {
 public:
  // Reads and parses the scene file. Null, with a one-line message naming the
  // file and the problem in `error`, when it cannot.
  static std::unique_ptr<SimSession> OpenFile(const std::filesystem::path& scenePath,
                                              std::string& error);
  // The same for a path given as UTF-8 text.
  static std::unique_ptr<SimSession> Open(const std::string& scenePath, std::string& error);
  // The same from scene text; relative paths are taken from `baseDir` and
  // messages name `displayName`.
  static std::unique_ptr<SimSession> OpenText(const std::string& text, const std::string& baseDir,
                                              const std::string& displayName, std::string& error);
  virtual ~SimSession() = default;  // writes the flash files back

  virtual ICameraStack& cameras() = 0;
  virtual IDeviceRegistry& registry() = 0;
  // The simulated clock (virtual) or real time; every sleep is traced.
  virtual IClock& clock() = 0;

  // A normal exit: writes the END line and the flash files.
  virtual void Finish() = 0;

  virtual std::size_t cameraCount() const = 0;
  virtual CameraModel& camera(std::size_t index) = 0;

  // For tests: the trace lines of this run so far (also those not yet in, or
  // never written to, the trace file).
  virtual const std::vector<std::string>& traceLines() const = 0;
  // Interface objects handed out and not yet destroyed (enumerators,
  // monikers, filters, KS controls, topologies, private interfaces, property
  // bags, Image-class device lists).
  virtual std::size_t liveObjects() const = 0;
  // The same by kind, e.g. "filter=1 ks_control=1"; empty when none.
  virtual std::string liveObjectSummary() const = 0;
  virtual std::uint32_t coInitializeCount() const = 0;
  virtual std::uint32_t coUninitializeCount() const = 0;
  // False when the trace file or a flash file could not be written.
  virtual bool filesOk() const = 0;

  // For the benchmark (bench/): the simulated time spent in sleeps; whether
  // trace lines are kept in memory (default true; with false and no trace
  // file no line is built, so requests and sleeps allocate nothing); and an
  // observer told of every request of every camera (null: none).
  virtual std::uint64_t sleptNs() const = 0;
  virtual void setKeepTraceLines(bool keep) = 0;
  virtual void setRequestObserver(RequestObserver* observer) = 0;
};

}  // namespace qv::sim
