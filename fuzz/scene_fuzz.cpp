// The scene file parser on arbitrary text: it must return a scene or a
// message, never crash, and a scene it returns must build its cameras.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/camera_model.h"
#include "sim/scene.h"
#include "sim/sim_clock.h"
#include "sim/trace.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  std::optional<qv::sim::Scene> scene = qv::sim::parseScene(text, "base", "scene.json", error);
  if (!scene) {
    if (error.empty()) __builtin_trap();  // a refusal always says why
    return 0;
  }
  qv::sim::SimClock clock(false);
  qv::sim::TraceSink trace(std::nullopt);
  for (std::size_t i = 0; i < scene->cameras.size(); ++i) {
    qv::sim::CameraConfig camera = scene->cameras[i];
    camera.flashFile.reset();  // no file system access from here
    std::vector<std::uint8_t> contents;
    std::string problem;
    if (!qv::sim::loadFlashContents(camera, contents, problem)) continue;
    qv::sim::CameraModel model(i, camera, std::move(contents), clock, trace);
    (void)model;
  }
  return 0;
}
