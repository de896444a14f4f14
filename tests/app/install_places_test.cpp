// Where an installed copy puts its files: the executable's folder is one it
// must stay out of, so Dump.bin, a kept tmp and setting.ini live in the
// current directory, and a plain update's image copy is a private temporary
// file that is gone afterwards. Standard output stays as it always is.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "platform/failure_notes.h"
#include "platform/file_places.h"
#include "sim_harness.h"
#include "tests/support/fake_os.h"

namespace qv::testing {
namespace {

const std::string kChecking = "Checking, Please wiat...\n";

json SceneWith(json camera) {
  return json{{"cameras", {camera}}, {"image_devices", {ImageDevice(0)}}};
}

// The executable in an installed program folder (the run's folder, which
// must stay untouched), run from the current directory `work`.
class InstalledFiles : public FolderFileSystem {
 public:
  std::string work;
  bool IsInstalledProgramFolder(const std::wstring&) override { return true; }
  bool CurrentDirectory(std::wstring& path) override {
    path = Widen(work);
    return !work.empty();
  }
};

// TMPDIR pointed at a folder of the test's for the time of one test.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    const char* before = std::getenv("TMPDIR");
    had_ = before != nullptr;
    if (had_) saved_ = before;
    ::setenv("TMPDIR", dir.path().c_str(), 1);
  }
  ~TemporaryFolder() {
    if (had_) {
      ::setenv("TMPDIR", saved_.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }
  TempDir dir;

 private:
  bool had_ = false;
  std::string saved_;
};

struct InstalledRun {
  SimRun run;
  TempDir work;
  InstalledFiles files;
  TemporaryFolder temporary;

  InstalledRun() {
    files.executable = run.files.executable;
    files.work = work.path();
  }

  Outcome Run(json scene, const std::vector<std::wstring>& args) {
    Outcome outcome;
    scene["trace"] = "trace.txt";
    std::string error;
    auto session = sim::SimSession::OpenText(scene.dump(), run.dir.path(), "scene.json", error);
    if (session == nullptr) return outcome;
    const Platform platform{session->cameras(), session->registry(), session->clock(), files,
                            run.resources,      run.profile,         run.guard,        run.console};
    outcome.exitCode = RunQvflash(args, platform);
    session->Finish();
    outcome.flash.emplace_back(session->camera(0).flash().begin(),
                               session->camera(0).flash().end());
    session.reset();
    outcome.out = run.console.out;
    outcome.err = run.console.err;
    std::ifstream trace(run.dir.file("trace.txt"));
    for (std::string line; std::getline(trace, line);) outcome.trace.push_back(line);
    return outcome;
  }
  // The program's folder holds what the test put there, nothing more.
  std::vector<std::string> ProgramFolder() const { return run.dir.names(); }
};

TEST(ToolFolder, BesideAPortableExecutableElseTheCurrentDirectoryWithinTheLimit) {
  // Windows-style paths: executable, installed or not, current directory,
  // and the path expected for "Dump.bin" (empty: refused).
  struct Row {
    std::wstring executable;
    bool installed;
    std::wstring current;
    std::wstring expected;
    FilePlace place;
  };
  // 250 characters; with "\\Dump.bin" 259, and the terminator 260.
  const std::wstring deep = L"C:\\" + std::wstring(247, L'd');
  const std::vector<Row> table = {
      {L"C:\\Tools\\qvflash.exe", false, L"C:\\work", L"C:\\Tools\\Dump.bin",
       FilePlace::BesideExecutable},
      {L"C:\\Program Files\\qv\\qvflash.exe", true, L"C:\\work", L"C:\\work\\Dump.bin",
       FilePlace::CurrentDirectory},
      {L"C:\\Program Files\\qv\\qvflash.exe", true, L"D:\\", L"D:\\Dump.bin",
       FilePlace::CurrentDirectory},
      {L"C:\\Program Files\\qv\\qvflash.exe", true, deep, deep + L"\\Dump.bin",
       FilePlace::CurrentDirectory},
      {L"C:\\Program Files\\qv\\qvflash.exe", true, deep + L"e", L"", {}},
      {L"C:\\Program Files\\qv\\qvflash.exe", true, L"", L"", {}},
  };
  for (const Row& row : table) {
    test::FakeFileSystem files;
    files.executablePath = row.executable;
    files.installedCopy = row.installed;
    files.currentDirectory = row.current;
    std::wstring path = L"unchanged";
    FilePlace place{};
    runNotes().clear();
    const bool found = ToolFilePath(files, L"Dump.bin", path, place);
    EXPECT_EQ(found, !row.expected.empty()) << std::string(row.current.begin(), row.current.end());
    if (!found) {
      EXPECT_EQ(path, L"unchanged");
      // Told apart: a path over the limit, or no folder at all.
      ASSERT_EQ(runNotes().notes().size(), 1u);
      EXPECT_EQ(runNotes().notes()[0].kind,
                row.current.empty() ? FailureKind::FileNotWritten : FailureKind::PathTooLong);
      continue;
    }
    EXPECT_EQ(path, row.expected);
    EXPECT_EQ(place, row.place);
  }
}

// The simulator's request trace is the only file there.
const std::vector<std::string> kUntouched = {"trace.txt"};

TEST(InstalledCopy, DumpGoesToTheCurrentDirectoryAndIsNamedOnStandardError) {
  InstalledRun installed;
  const Outcome o = installed.Run(SceneWith(Camera(0)), {L"-dump"});
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.out, kChecking + "Dump FW ok.\nPass");
  EXPECT_EQ(o.err, "Dump.bin written to " + installed.work.file("Dump.bin") + "\n");
  EXPECT_EQ(ReadBytes(installed.work.file("Dump.bin")).size(), 65536u);
  EXPECT_EQ(installed.ProgramFolder(), kUntouched);
}

TEST(InstalledCopy, PlainUpdateLeavesNoFileAnywhere) {
  SimRun portable;
  const Outcome reference = portable.Run(SceneWith(Camera(0)), {});
  ASSERT_EQ(reference.exitCode, 0);

  InstalledRun installed;
  const Outcome o = installed.Run(SceneWith(Camera(0)), {});
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.out, kChecking + "Pass");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.flash[0], reference.flash[0]);  // the same image reached the flash
  EXPECT_EQ(o.trace, reference.trace);
  EXPECT_EQ(installed.ProgramFolder(), kUntouched);
  EXPECT_TRUE(installed.work.names().empty());
  EXPECT_TRUE(installed.temporary.dir.names().empty());  // the private copy is removed
}

TEST(InstalledCopy, VerboseUpdateKeepsTmpInTheCurrentDirectory) {
  InstalledRun installed;
  const Outcome o = installed.Run(SceneWith(Camera(0)), {L"-dbg"});
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.err, "tmp kept as " + installed.work.file("tmp") + "\n");
  const std::span<const std::uint8_t> image = EmbeddedImage106();
  EXPECT_EQ(ReadBytes(installed.work.file("tmp")),
            std::vector<std::uint8_t>(image.begin(), image.end()));
  EXPECT_EQ(installed.ProgramFolder(), kUntouched);
  EXPECT_TRUE(installed.temporary.dir.names().empty());
}

TEST(InstalledCopy, SettingsAreReadFromTheCurrentDirectoryOnly) {
  const auto gpioSet = [](const Outcome& o) {
    return std::find(o.trace.begin(), o.trace.end(), "0 SET 2 41 20") != o.trace.end();
  };
  // In the current directory: applied.
  InstalledRun fromWork;
  std::ofstream(fromWork.work.file("setting.ini")) << "[SETTING]\r\nGPIO=1\r\n";
  Outcome o = fromWork.Run(SceneWith(Camera(0)), {});
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_TRUE(gpioSet(o));
  // Beside the installed executable: not looked at.
  InstalledRun besideProgram;
  std::ofstream(besideProgram.run.dir.file("setting.ini")) << "[SETTING]\r\nGPIO=1\r\n";
  o = besideProgram.Run(SceneWith(Camera(0)), {});
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_FALSE(gpioSet(o));
}

TEST(InstalledCopy, NoUsableCurrentDirectoryFailsLikeAnUnwritableFolder) {
  // The current directory was removed (no path), or is not writable.
  for (const bool removed : {true, false}) {
    InstalledRun installed;
    installed.files.work = removed ? "" : installed.work.file("missing");
    runNotes().clear();
    Outcome o = installed.Run(SceneWith(Camera(0)), {L"-dump"});
    EXPECT_EQ(o.out, kChecking + "Dump FW fail.\nFail");
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(installed.ProgramFolder(), kUntouched);
    if (!removed) {
      // The reason names the cause, the file and the system's word for why.
      ASSERT_TRUE(runNotes().has(FailureKind::FolderMissing));
      const FailureNote& note = runNotes().notes().back();
      EXPECT_EQ(note.detail,
                installed.work.file("missing") + "/Dump.bin: No such file or directory");
      EXPECT_EQ(note.status, ENOENT);
    }
  }
  InstalledRun verbose;
  verbose.files.work = verbose.work.file("missing");
  const Outcome o = verbose.Run(SceneWith(Camera(0)), {L"-dbg"});
  EXPECT_EQ(o.exitCode, 1);
  EXPECT_NE(o.out.find("Binary file create fail.\n"), std::string::npos);
  EXPECT_EQ(o.flash[0], std::vector<std::uint8_t>(65536, 0xFF));
}

}  // namespace
}  // namespace qv::testing
