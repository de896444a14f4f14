#pragma once
// Runs the whole tool in-process on the simulated camera: the Linux file,
// resource and profile services on a fresh folder that stands for the
// executable's folder, a console that keeps every byte, and a guard whose
// answer the test chooses.

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/update_job.h"
#include "firmware/embedded_images.h"
#include "platform/linux/linux_file_system.h"
#include "platform/linux/linux_profile.h"
#include "platform/linux/linux_resources.h"
#include "platform/sim/sim_session.h"
#include "sim/camera_model.h"
#include "temp_dir.h"

namespace qv::testing {

using nlohmann::json;

// Standard output as one byte stream (wide text is ASCII here and is kept
// byte for byte; anything else shows as '?'), standard error apart.
class CapturingConsole : public IConsole {
 public:
  std::string out;
  std::string err;
  std::string both;  // the two streams as one terminal would show them
  int terminalQueries = 0;
  void WriteWide(std::wstring_view text) override {
    for (wchar_t c : text) {
      out.push_back(c >= 0 && c < 0x80 ? static_cast<char>(c) : '?');
      both.push_back(out.back());
    }
  }
  void WriteNarrow(std::string_view text) override {
    out.append(text);
    both.append(text);
  }
  void WriteError(std::string_view text) override {
    err.append(text);
    both.append(text);
  }
  bool terminal = false;  // what standard error is taken for
  bool ErrorIsTerminal() override {
    ++terminalQueries;
    return terminal;
  }
  bool outputTerminal = false;  // what standard output is taken for
  bool OutputIsTerminal() override { return outputTerminal; }
  unsigned columns = 0;  // the terminal's width (0: not known)
  unsigned ErrorColumns() override { return columns; }
  bool sharesOutput = false;  // both streams go to one file ("2>&1")
  bool ErrorSharesOutput() override { return sharesOutput; }
  std::uint32_t largestExitCode = 255;  // 0x7FFFFFFF: as on Windows
  std::uint32_t LargestExitCode() const override { return largestExitCode; }
};

class ScriptedGuard : public IInstanceGuard {
 public:
  Result answer = Result::Created;
  std::wstring name;
  int calls = 0;
  Result Create(std::wstring_view guardName) override {
    ++calls;
    name = guardName;
    return answer;
  }
};

// Linux files, with the executable placed in a folder of the test's choice.
class FolderFileSystem : public linux_host::LinuxFileSystem {
 public:
  std::optional<std::wstring> executable;  // none: the path cannot be read
  bool ExecutablePath(std::wstring& path) override {
    if (!executable) return false;
    path = *executable;
    return true;
  }
};

inline std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

inline std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// The firmware image the update extracts.
inline std::span<const std::uint8_t> EmbeddedImage106() {
  for (const auto& image : firmware::EmbeddedImages())
    if (image.id == 106) return {image.data, image.size};
  return {};
}

// A USB camera of the scene, number `n` (its device node carries the token
// "1a2b3c4<n>", which its device path contains).
inline json Camera(int n, const std::string& route = "ks", int chipId = 0x8A,
                   const json& flash = "GD25Q512") {
  return json{{"device_path", "\\\\?\\usb#vid_04f2&pid_b5bd&mi_00#6&1a2b3c4" + std::to_string(n) +
                                  "&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global"},
              {"route", route},
              {"chip_id", chipId},
              {"flash", flash}};
}

// A camera whose flash is kept in `file` (read at start, written back).
inline json WithFlashFile(json camera, const std::string& file) {
  camera["flash_file"] = file;
  return camera;
}

// The Image-class node of camera `n` with the given USB ids.
inline json ImageDevice(int n, const std::string& vidPid = "VID_04F2&PID_B5BD") {
  return json{
      {"instance_id", "USB\\" + vidPid + "&MI_00\\6&1A2B3C4" + std::to_string(n) + "&0&0000"},
      {"hardware_ids", {"USB\\" + vidPid + "&REV_0100", "USB\\" + vidPid}},
      {"address", 3 + n},
      {"grandparent_id", "USB\\ROOT_HUB30\\4&2E1B7C0&0&0"}};
}

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
  std::string both;                              // standard output and error in the order written
  std::vector<std::vector<std::uint8_t>> flash;  // per camera, after the run
  std::vector<std::uint32_t> requests;           // per camera
  std::vector<std::uint8_t> status;              // per camera: the flash status register
  std::vector<std::string> trace;
  std::uint8_t state = 0;  // the update's last state code
  std::uint8_t progress = 0;
};

class SimRun {
 public:
  SimRun() {
    files.executable = Widen(dir.file("qvflash"));
    // The progress bar also asks the environment (TERM=dumb and
    // QVFLASH_PROGRESS=0 turn it off): a run starts from one that allows it,
    // whatever shell the tests were started from.
    ::setenv("TERM", "xterm", 1);
    ::unsetenv("QVFLASH_PROGRESS");
    // Backups and the history go to the run's own folder, never the home.
    ::setenv("XDG_STATE_HOME", dir.file("state").c_str(), 1);
  }

  // The files kept in the state folder's `sub` (backups: "backups").
  std::vector<std::string> StateFiles(const std::string& sub) const {
    std::vector<std::string> names;
    const std::filesystem::path folder = dir.file("state") + "/qvflash/" + sub;
    if (!std::filesystem::exists(folder)) return names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir;
  FolderFileSystem files;
  linux_host::LinuxResources resources;
  linux_host::LinuxProfile profile;
  ScriptedGuard guard;
  CapturingConsole console;
  sim::RequestObserver* observer = nullptr;  // told of every request of the run

  Outcome Run(json scene, const std::vector<std::wstring>& args) {
    Outcome outcome;
    scene["trace"] = "trace.txt";
    std::string error;
    std::unique_ptr<sim::SimSession> session =
        sim::SimSession::OpenText(scene.dump(), dir.path(), "scene.json", error);
    if (session == nullptr) {
      outcome.err = error;
      return outcome;
    }
    session->setRequestObserver(observer);
    const Platform platform{session->cameras(),
                            session->registry(),
                            session->clock(),
                            files,
                            resources,
                            profile,
                            guard,
                            console};
    {
      CFrontEnd frontEnd(platform);
      outcome.exitCode = frontEnd.Run(args);
      outcome.state = frontEnd.updateStatus().state;
      outcome.progress = frontEnd.updateStatus().progress;
    }
    session->Finish();
    for (std::size_t i = 0; i < session->cameraCount(); ++i) {
      const auto flash = session->camera(i).flash();
      outcome.flash.emplace_back(flash.begin(), flash.end());
      outcome.requests.push_back(session->camera(i).requestCount());
      outcome.status.push_back(session->camera(i).statusRegister());
    }
    session.reset();
    outcome.out = console.out;
    outcome.err += console.err;
    outcome.both = console.both;
    std::ifstream trace(dir.file("trace.txt"));
    for (std::string line; std::getline(trace, line);) outcome.trace.push_back(line);
    return outcome;
  }

  bool Exists(const std::string& name) const { return std::filesystem::exists(dir.file(name)); }
};

}  // namespace qv::testing
