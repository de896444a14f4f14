// Whole runs on the simulated camera where the system would keep the tool
// from the camera, or the camera from the tool: another program streaming
// from it, the privacy setting denying every camera filter, a unit without a
// control the update uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "app/messages.h"
#include "platform/failure_notes.h"
#include "sim_harness.h"

namespace qv::testing {
namespace {

const std::vector<std::uint8_t> kOldFlash(65536, 0xA5);

// Arrays are spelled json::array(...): a braced list of one json value is a
// copy of that value for one compiler and a one-element array for another.
json SceneOf(json cameras, json imageDevices = json::array({ImageDevice(0)})) {
  return json{{"cameras", std::move(cameras)}, {"image_devices", std::move(imageDevices)}};
}

struct AccessRun {
  SimRun sim;
  Outcome outcome;
  AccessRun(json scene, const std::vector<std::wstring>& args) {
    WriteBytes(sim.dir.file("flash0.bin"), kOldFlash);
    runNotes().clear();
    outcome = sim.Run(std::move(scene), args);
  }
};

TEST(CameraInUse, AStreamingCameraIsNotWrittenAndUnknownGoesOn) {
  struct Case {
    const char* name;
    json streaming;  // the scene's value; null: key absent
    std::string route;
    bool verbose;
    int exitCode;
    bool inUseNote;
    bool unknownLine;  // the -dbg line on standard error
  };
  const Case cases[] = {
      // -dbg with a free camera: not taken for one that cannot tell.
      {"free, verbose", nullptr, "ks", true, 0, false, false},
      {"streaming", true, "ks", false, 1, true, false},
      {"streaming, private route", true, "private", false, 1, true, false},
      {"unsupported", "unsupported", "ks", false, 0, false, false},
      {"unsupported, verbose", "unsupported", "ks", true, 0, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json camera = WithFlashFile(Camera(0, c.route), "flash0.bin");
    if (!c.streaming.is_null()) camera["streaming"] = c.streaming;
    AccessRun run(SceneOf(json::array({camera})),
                  c.verbose ? std::vector<std::wstring>{L"-dbg"} : std::vector<std::wstring>{});
    const Outcome& o = run.outcome;
    EXPECT_EQ(o.exitCode, c.exitCode);
    EXPECT_EQ(o.out.substr(o.out.size() - 4), c.exitCode == 0 ? "Pass" : "Fail");
    EXPECT_EQ(runNotes().has(FailureKind::CameraInUse), c.inUseNote);
    EXPECT_EQ(o.err.find(msg::kInUseUnknown) != std::string::npos, c.unknownLine);
    if (c.inUseNote) {
      EXPECT_EQ(o.flash[0], kOldFlash);
      EXPECT_EQ(ReadBytes(run.sim.dir.file("flash0.bin")), kOldFlash);
      EXPECT_EQ(o.state, 0);
    } else {
      EXPECT_NE(o.flash[0], kOldFlash);
    }
  }
}

TEST(CameraInUse, NothingIsSentBeyondWhatFindingTheCameraTook) {
  // The same camera with another USB identity is opened and then left: the
  // requests of a run that finds it streaming must be exactly those.
  json streaming = Camera(0);
  streaming["streaming"] = true;
  AccessRun inUse(SceneOf(json::array({streaming})), {L"-dbg"});
  AccessRun otherCamera(
      SceneOf(json::array({Camera(0)}), json::array({ImageDevice(0, "VID_046D&PID_0825")})),
      {L"-dbg"});
  ASSERT_FALSE(otherCamera.outcome.trace.empty());
  EXPECT_EQ(inUse.outcome.trace, otherCamera.outcome.trace);
  EXPECT_EQ(inUse.outcome.requests, otherCamera.outcome.requests);
  EXPECT_NE(inUse.outcome.out.find("Update Fail\nFail"), std::string::npos) << inUse.outcome.out;
  // The pin properties are no extension-unit requests: never traced.
  for (const std::string& line : inUse.outcome.trace) EXPECT_EQ(line.find("!"), std::string::npos);
}

TEST(CameraInUse, ADumpOnlyReadsAndIsNotStopped) {
  json camera = WithFlashFile(Camera(0), "flash0.bin");
  camera["streaming"] = true;
  AccessRun run(SceneOf(json::array({camera})), {L"-dump"});
  EXPECT_EQ(run.outcome.exitCode, 0);
  EXPECT_FALSE(runNotes().has(FailureKind::CameraInUse));
  EXPECT_EQ(ReadBytes(run.sim.dir.file("Dump.bin")), kOldFlash);
}

TEST(CameraPrivacy, AccessDeniedBindsAreTheRunsReason) {
  const std::string denied = "0x80070005";
  struct Case {
    const char* name;
    std::vector<std::string> binds;  // per camera: "" binds, else the failure
    int exitCode;
    bool privacyNote;
  };
  const Case cases[] = {
      {"every camera denied", {denied, denied}, 1, true},
      {"one denied, the next updated", {denied, ""}, 0, true},
      {"another bind failure", {"0x80004005"}, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json cameras = json::array();
    json devices = json::array();
    for (std::size_t i = 0; i < c.binds.size(); ++i) {
      json camera = Camera(static_cast<int>(i));
      if (!c.binds[i].empty()) camera["bind_object"] = c.binds[i];
      cameras.push_back(camera);
      devices.push_back(ImageDevice(static_cast<int>(i)));
    }
    AccessRun run(SceneOf(cameras, devices), {});
    EXPECT_EQ(run.outcome.exitCode, c.exitCode);
    EXPECT_EQ(runNotes().has(FailureKind::CameraPrivacy), c.privacyNote);
    if (c.privacyNote) {
      const auto& notes = runNotes().notes();
      const auto note = std::find_if(notes.begin(), notes.end(), [](const FailureNote& n) {
        return n.kind == FailureKind::CameraPrivacy;
      });
      ASSERT_NE(note, notes.end());
      EXPECT_EQ(note->status, static_cast<std::int32_t>(0x80070005u));
    }
  }
}

// The selectors of a trace's extension-unit requests ("0 SET 9 01").
std::set<int> TracedSelectors(const std::vector<std::string>& trace) {
  std::set<int> selectors;
  for (const std::string& line : trace) {
    std::istringstream words(line);
    std::string camera, kind;
    int selector = 0;
    if (words >> camera >> kind >> selector && camera == "0") selectors.insert(selector);
  }
  return selectors;
}

TEST(UpdateControls, EveryControlAnUpdateUsesIsThereBeforeItsFirstRequest) {
  // Per family: the controls its update sends requests to, each taken out of
  // the unit in turn. The update must not start: nothing beyond what finding
  // the camera took (the requests of a run that finds it streaming), the
  // flash as it was, and the control named.
  for (const int chipId : {0x60, 0x90, 0x8A, 0xA0, 0xB0, 0xC0, 0xD0}) {
    SCOPED_TRACE("chip " + std::to_string(chipId));
    AccessRun update(SceneOf(json::array({WithFlashFile(Camera(0, "ks", chipId), "flash0.bin")})),
                     {});
    ASSERT_EQ(update.outcome.exitCode, 0);
    json streaming = Camera(0, "ks", chipId);
    streaming["streaming"] = true;
    const AccessRun found(SceneOf(json::array({streaming})), {});
    const std::set<int> openedWith = TracedSelectors(found.outcome.trace);
    int checked = 0;
    for (const int selector : TracedSelectors(update.outcome.trace)) {
      if (openedWith.count(selector) != 0) continue;  // the camera would not be found
      SCOPED_TRACE("control " + std::to_string(selector));
      ++checked;
      json camera = WithFlashFile(Camera(0, "ks", chipId), "flash0.bin");
      camera["undeclared_controls"] = json::array({selector});
      AccessRun run(SceneOf(json::array({camera})), {});
      EXPECT_EQ(run.outcome.exitCode, 1);
      EXPECT_EQ(run.outcome.flash[0], kOldFlash);
      EXPECT_EQ(run.outcome.trace, found.outcome.trace);
      const auto& notes = runNotes().notes();
      const auto note = std::find_if(notes.begin(), notes.end(), [](const FailureNote& n) {
        return n.kind == FailureKind::ControlMissing;
      });
      ASSERT_NE(note, notes.end());
      EXPECT_EQ(note->detail.rfind("control " + std::to_string(selector) + ",", 0), 0u)
          << note->detail;
    }
    // Download mode (9, 10, 11) and the command table (7, 8, 16) at least.
    EXPECT_GE(checked, 6);
  }
}

TEST(UpdateControls, ADriverThatDoesNotDescribeItsControlsLetsTheUpdateGoOn) {
  // The driver's private interface describes no control: the update runs as
  // before, and -dbg says the check could not be made.
  AccessRun run(SceneOf(json::array({WithFlashFile(Camera(0, "private"), "flash0.bin")})),
                {L"-dbg"});
  EXPECT_EQ(run.outcome.exitCode, 0);
  EXPECT_NE(run.outcome.err.find(msg::kControlsUnknown), std::string::npos);
  EXPECT_NE(run.outcome.flash[0], kOldFlash);
}

}  // namespace
}  // namespace qv::testing
