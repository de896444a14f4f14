// The update job: the image copy beside the executable, the flash type and
// its name, the image buffer handed to the engine.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/messages.h"
#include "flash/flash_tables.h"
#include "flash_expectations.h"
#include "sim_harness.h"

namespace qv::testing {
namespace {

const std::string kChecking = "Checking, Please wiat...\n";

json SceneWith(json camera) {
  return json{{"cameras", {camera}}, {"image_devices", {ImageDevice(0)}}};
}

// A part no identification reply names (it has the common command set).
json UnlistedPart() {
  return json{
      {"rems", {0x12, 0x34, 0x56}}, {"res", {0x12, 0x12, 0x12}}, {"rdid", {0x12, 0x60, 0x10}}};
}

TEST(FlashNameTable, NamesEveryKnownPartAsTheFlashTablesDo) {
  for (std::size_t i = 0; i < kFlashParts.size(); ++i) {
    const std::string narrow(kFlashParts[i].name);
    EXPECT_EQ(std::wstring(FlashName(kFlashParts[i].code)), Widen(narrow)) << i;
    EXPECT_LE(FlashName(kFlashParts[i].code).size(), 12u);
    EXPECT_EQ(kFlashParts[i].code, 121 + i);
  }
  EXPECT_EQ(FlashName(121), L"MX25L512");
  EXPECT_EQ(FlashName(144), L"AMICA25LS512");
  for (int code : {0, 6, 120, 145, 255})
    EXPECT_TRUE(FlashName(static_cast<std::uint8_t>(code)).empty());
}

TEST(Messages, FormatLikeThePrintfForms) {
  EXPECT_EQ(msg::Hex4(0x46D), L"046D");
  EXPECT_EQ(msg::Hex4(0), L"0000");
  EXPECT_EQ(msg::Hex4(0xFFFF), L"FFFF");
  EXPECT_EQ(msg::Decimal(0), L"0");
  EXPECT_EQ(msg::Decimal(-2147483647 - 1), L"-2147483648");
  EXPECT_EQ(msg::DeviceInitFail(12), L"Device 12 init fail \n");
  EXPECT_EQ(msg::DeviceMatch(0, 0x04F2, 0xB5BD), L"--> Device 0 VID/PID (0x04F2/0xB5BD)\n");
  EXPECT_EQ(msg::DeviceMismatch(3, 0x46D, 0x825), L"Device 3 VID/PID not match (0x046D/0x0825)\n");
  EXPECT_EQ(msg::UpdateResult(0), L"Update Success\n");
  EXPECT_EQ(msg::UpdateResult(1), L"Update Fail\n");
  EXPECT_EQ(msg::FlashNameLine(L""), L"Flash : \n");
}

class PathFiles : public FolderFileSystem {
 public:
  wchar_t separator = L'/';
  wchar_t PathSeparator() const override { return separator; }
  // The Windows limit, whichever separator is chosen.
  std::size_t PathLimit() const override { return kMaxPath; }
};

TEST(ExecutableSiblingPath, CutsAtTheLastSeparatorAndRefusesWhatDoesNotFit) {
  PathFiles files;
  std::wstring path;
  files.executable = L"/opt/qv/bin/qvflash";
  ASSERT_TRUE(ExecutableSiblingPath(files, L"tmp", path));
  EXPECT_EQ(path, L"/opt/qv/bin/tmp");
  files.separator = L'\\';
  files.executable = L"C:\\Tools\\QV\\qvflash.exe";
  ASSERT_TRUE(ExecutableSiblingPath(files, L"Dump.bin", path));
  EXPECT_EQ(path, L"C:\\Tools\\QV\\Dump.bin");

  files.separator = L'/';
  const std::wstring folder = L"/" + std::wstring(254, L'a');  // 255 characters
  files.executable = folder + L"/q";
  ASSERT_TRUE(ExecutableSiblingPath(files, L"tmp", path));  // 260 with the terminator
  EXPECT_EQ(path.size(), 260u - 1);
  path = L"unchanged";
  EXPECT_FALSE(ExecutableSiblingPath(files, L"Dump.bin", path));
  EXPECT_EQ(path, L"unchanged");
  files.executable = L"qvflash";  // no folder at all
  EXPECT_FALSE(ExecutableSiblingPath(files, L"tmp", path));
  files.executable.reset();
  EXPECT_FALSE(ExecutableSiblingPath(files, L"tmp", path));
}

TEST(UpdateJob, VerboseNamesTheFlashPart) {
  for (const auto& [part, type] : std::vector<std::pair<std::string, int>>{
           {"AMICA25LS512", 144}, {"SST25VF512", 137}, {"MX25L5121E", 135}, {"EN25F40", 143}}) {
    SimRun run;
    const Outcome o = run.Run(SceneWith(Camera(0, "ks", 0x8A, part)), {L"-dbg"});
    const std::string head =
        kChecking + "--> Device 0 VID/PID (0x04F2/0xB5BD)\nFlash : " + part + "\nstart update...\n";
    EXPECT_EQ(o.out.substr(0, head.size()), head);
    EXPECT_EQ(o.exitCode, 0) << part;
    ExpectFlashHoldsImage(o.flash[0], 104, static_cast<std::uint8_t>(type));
  }
}

TEST(UpdateJob, UndefinedFlashStopsAVerboseUpdate) {
  SimRun run;
  const Outcome o = run.Run(SceneWith(Camera(0, "ks", 0x8A, UnlistedPart())), {L"-dbg"});
  EXPECT_EQ(o.out, kChecking +
                       "--> Device 0 VID/PID (0x04F2/0xB5BD)\n"
                       "Flash type undefined, stop download process.\n"
                       "Update Fail\nFail");
  EXPECT_EQ(o.exitCode, 1);
  EXPECT_EQ(o.flash[0], std::vector<std::uint8_t>(65536, 0xFF));
  EXPECT_TRUE(run.Exists("tmp"));
  // The engine was never entered: no download-mode request.
  for (const std::string& line : o.trace) EXPECT_NE(line.rfind("0 SET 9 ", 0), 0u) << line;
}

// Identification requests: the read-ID opcode sent to the SPI transmit
// register.
int ReadIdCommands(const Outcome& o) {
  return static_cast<int>(std::count(o.trace.begin(), o.trace.end(), "0 SET 3 90"));
}

TEST(UpdateJob, UndefinedFlashIsTakenAsGD25Q512InATerseUpdate) {
  SimRun run;
  const Outcome o = run.Run(SceneWith(Camera(0, "ks", 0x8A, UnlistedPart())), {});
  EXPECT_EQ(o.out, kChecking + "Pass");
  EXPECT_EQ(o.exitCode, 0);
  ExpectFlashHoldsImage(o.flash[0], 104, 122);
  EXPECT_FALSE(run.Exists("tmp"));
  // A clean "unknown" answer is believed at once.
  EXPECT_EQ(ReadIdCommands(o), 1);
}

TEST(UpdateJob, IdentificationWithALostRequestStopsATerseUpdate) {
  // The request that selects the flash for the read-ID fails: the part
  // answers nothing, and the terse update must not go on with an assumed
  // part (the wrong table would leave this part unwritten).
  SimRun probe;
  const Outcome clean = probe.Run(SceneWith(Camera(0, "ks", 0x8A, "SST25VF512")), {});
  ASSERT_EQ(ReadIdCommands(clean), 1);
  std::uint32_t n = 0;
  std::uint32_t select = 0;
  for (const std::string& line : clean.trace) {
    if (line.rfind("0 ", 0) != 0) continue;
    ++n;
    if (line == "0 SET 2 25 20" && select == 0 && n > 10) select = n;
  }
  ASSERT_GT(select, 0u);
  json camera = Camera(0, "ks", 0x8A, "SST25VF512");
  camera["faults"] = json::array({json{{"request", select}, {"result", "0x8007001F"}}});
  SimRun run;
  const Outcome o = run.Run(SceneWith(camera), {});
  EXPECT_EQ(o.out, kChecking + "Fail");
  EXPECT_EQ(o.exitCode, 1);
  EXPECT_EQ(ReadIdCommands(o), 1);
  EXPECT_EQ(o.flash[0], std::vector<std::uint8_t>(65536, 0xFF));
  // The engine was never entered: no download-mode request.
  for (const std::string& line : o.trace) EXPECT_NE(line.rfind("0 SET 9 ", 0), 0u) << line;
}

// A download block that times out (uvcvideo gives up after 5 s) ends the
// download, but a camera that was only slow still gets the request that
// leaves download mode, and on family 106 the reset after it, once; then the
// reason. A camera that stays silent costs one more timeout, not the reset's.
TEST(UpdateJob, ATimeoutStillLeavesDownloadModeOnce) {
  const std::vector<std::string> reset = {
      "SLEEP 500",  "0 SET 2 30 20", "0 SET 3 FF", "0 SET 2 31 20", "0 SET 3 00", "0 SET 2 32 20",
      "0 SET 3 00", "0 SET 2 33 20", "0 SET 3 02", "0 SET 2 34 20", "0 SET 3 01"};
  std::vector<std::string> leave106 = {"0 SET 9 00"};
  leave106.insert(leave106.end(), reset.begin(), reset.end());
  const json silent = {{"request", 39}, {"result", "0x80070079"}, {"count", 1000}};
  const struct {
    int chipId;
    json fault;  // on the third download block
    std::vector<std::string> after;
  } rows[] = {{0x8A, {{"stall", 296}}, {"0 SET 9 00"}},
              {0xB0, {{"stall", 39}}, leave106},
              {0xB0, silent, {"0 SET 9 !80070079", "SLEEP 500"}}};
  for (const auto& row : rows) {
    json camera = Camera(0, "ks", row.chipId);
    camera["faults"] = json::array({row.fault});
    SimRun run;
    const Outcome o = run.Run(SceneWith(camera), {});
    SCOPED_TRACE(row.fault.dump());
    EXPECT_EQ(o.out, kChecking + "Fail");
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_NE(o.err.find("qvflash: the camera stopped answering (control 10)"), std::string::npos);
    const auto timedOut = std::find(o.trace.begin(), o.trace.end(), "0 SET 10 !80070079");
    ASSERT_EQ(std::count_if(o.trace.begin(), timedOut,
                            [](const std::string& l) { return l.rfind("0 SET 10 ", 0) == 0; }),
              2);
    EXPECT_EQ(std::vector<std::string>(timedOut + 1, o.trace.end() - 1), row.after);  // to END
  }
}

TEST(UpdateJob, EveryFamilyGetsTheWholeImageAndZerosBeyondIt) {
  for (int chipId : {0x6A, 0x95, 0x8A, 0xA0, 0xB0, 0xC0, 0xD0}) {
    SimRun run;
    const Outcome o = run.Run(SceneWith(Camera(0, "ks", chipId)), {});
    EXPECT_EQ(o.out, kChecking + "Pass") << chipId;
    const std::uint8_t family = sim::chipFamilyOf(static_cast<std::uint8_t>(chipId));
    ExpectFlashHoldsImage(o.flash[0], family, 122);
    if (family == 104) {
      // The six bytes the engine takes from 0xB70A of the buffer, past the
      // image: zero, and so written as zeros.
      for (std::size_t a = 0xB70A; a < 0xB710; ++a) EXPECT_EQ(o.flash[0][a], 0x00) << a;
    }
  }
}

TEST(UpdateJob, ExistingImageCopyOrPlantedLinkIsReplaced) {
  SimRun run;
  WriteBytes(run.dir.file("tmp"), std::vector<std::uint8_t>(200000, 0xA5));
  Outcome o = run.Run(SceneWith(Camera(0)), {L"-dbg"});
  EXPECT_EQ(o.exitCode, 0);
  const auto image = EmbeddedImage106();
  EXPECT_EQ(ReadBytes(run.dir.file("tmp")), std::vector<std::uint8_t>(image.begin(), image.end()));

  SimRun linked;
  WriteBytes(linked.dir.file("victim"), {7});
  std::filesystem::create_symlink(linked.dir.file("victim"), linked.dir.file("tmp"));
  o = linked.Run(SceneWith(Camera(0)), {});
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_FALSE(linked.Exists("tmp"));
  EXPECT_EQ(ReadBytes(linked.dir.file("victim")), std::vector<std::uint8_t>{7});
}

TEST(UpdateJob, ImageCopyThatCannotBeMadeFailsBeforeTheCameraIsChanged) {
  const std::string longFolder = "/tmp/" + std::string(251, 'd');  // + "/tmp" = 260
  for (const std::optional<std::wstring>& exe :
       {std::optional<std::wstring>(L"/nonexistent-qvflash-folder/qvflash"),
        std::optional<std::wstring>(), std::optional<std::wstring>(Widen(longFolder + "/q"))}) {
    SimRun run;
    run.files.executable = exe;
    Outcome o = run.Run(SceneWith(Camera(0)), {L"-dbg"});
    EXPECT_EQ(o.out, kChecking +
                         "--> Device 0 VID/PID (0x04F2/0xB5BD)\n"
                         "Binary file create fail.\n"
                         "Update Fail\nFail");
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.flash[0], std::vector<std::uint8_t>(65536, 0xFF));
    SimRun terse;
    terse.files.executable = exe;
    o = terse.Run(SceneWith(Camera(0)), {});
    EXPECT_EQ(o.out, kChecking + "Fail");
    EXPECT_EQ(o.exitCode, 1);
  }
}

// Files whose read-back of "tmp" is not what was written.
class AlteringFiles : public FolderFileSystem {
 public:
  enum class Mode { Changed, Longer, Shorter, Unreadable } mode = Mode::Changed;
  ReadResult ReadFile(const std::wstring& path, std::span<std::uint8_t> buffer,
                      std::size_t& length) override {
    std::vector<std::uint8_t> bytes;
    const std::string narrow(path.begin(), path.end());
    bytes = ReadBytes(narrow);
    switch (mode) {
      case Mode::Changed:
        bytes[100] ^= 1;
        break;
      case Mode::Longer:
        bytes.resize(buffer.size() + 1, 0);
        break;
      case Mode::Shorter:
        bytes.resize(32768);
        break;
      case Mode::Unreadable:
        return ReadResult::CannotOpen;
    }
    WriteBytes(narrow, bytes);
    return FolderFileSystem::ReadFile(path, buffer, length);
  }
};

TEST(UpdateJob, ImageCopyReadBackMustBeTheImage) {
  for (auto mode : {AlteringFiles::Mode::Changed, AlteringFiles::Mode::Longer,
                    AlteringFiles::Mode::Shorter, AlteringFiles::Mode::Unreadable}) {
    SimRun run;
    AlteringFiles files;
    files.mode = mode;
    files.executable = run.files.executable;
    // The same run, with the altering file system in place.
    std::string error;
    json scene = SceneWith(Camera(0));
    auto session = sim::SimSession::OpenText(scene.dump(), run.dir.path(), "scene.json", error);
    ASSERT_NE(session, nullptr) << error;
    const Platform platform{session->cameras(), session->registry(), session->clock(), files,
                            run.resources,      run.profile,         run.guard,        run.console};
    const int exitCode = RunQvflash(std::vector<std::wstring>{L"-dbg"}, platform);
    session->Finish();
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(run.console.out, kChecking +
                                   "--> Device 0 VID/PID (0x04F2/0xB5BD)\n"
                                   "Binary file load fail.\n"
                                   "Update Fail\nFail");
    const auto flash = session->camera(0).flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(run.Exists("tmp"));  // left where it is
  }
}

TEST(UpdateJob, GpioSettingBesideTheExecutableIsApplied) {
  SimRun run;
  std::ofstream(run.dir.file("setting.ini")) << "[SETTING]\r\nGPIO= 1 \r\n";
  const Outcome o = run.Run(SceneWith(Camera(0)), {});
  EXPECT_EQ(o.exitCode, 0);
  // Both GPIO registers get bit 0x02, 50 ms apart.
  bool set41 = false;
  bool set43 = false;
  for (std::size_t i = 0; i + 1 < o.trace.size(); ++i) {
    if (o.trace[i] == "0 SET 2 41 20") set41 = true;
    if (o.trace[i] == "0 SET 2 43 20") set43 = true;
  }
  EXPECT_TRUE(set41);
  EXPECT_TRUE(set43);
  EXPECT_NE(std::find(o.trace.begin(), o.trace.end(), "SLEEP 50"), o.trace.end());
}

}  // namespace
}  // namespace qv::testing
