// Dump mode on the simulated camera: Dump.bin equals the flash for every
// route to the extension unit and every chip family; a dump that cannot be
// made is a failure, never a file of guesses.
#include <gtest/gtest.h>

#include <tuple>

#include "sim_harness.h"

namespace qv::testing {
namespace {

const std::string kChecking = "Checking, Please wiat...\n";

// Flash contents no two addresses of which are likely to be confused.
std::vector<std::uint8_t> Pattern(std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(65536);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x >> 11);
  }
  return bytes;
}

using DumpCase = std::tuple<std::string, std::string, int>;  // route, property set, chip ID

class DumpEveryRoute : public ::testing::TestWithParam<DumpCase> {};

TEST_P(DumpEveryRoute, DumpEqualsTheFlash) {
  const auto& [route, guid, chipId] = GetParam();
  SimRun run;
  const std::vector<std::uint8_t> contents = Pattern(static_cast<std::uint32_t>(chipId));
  WriteBytes(run.dir.file("flash0.bin"), contents);
  json camera = Camera(0, route, chipId);
  camera["xu_guid"] = guid;
  camera["flash_file"] = "flash0.bin";
  // No device node: the dump takes any camera, whoever made it.
  const Outcome o =
      run.Run(json{{"cameras", {camera}}, {"image_devices", json::array()}}, {L"-dump"});
  EXPECT_EQ(o.out, kChecking + "Dump FW ok.\nPass");
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(ReadBytes(run.dir.file("Dump.bin")), contents);
  EXPECT_EQ(o.flash[0], contents);                             // reading changes nothing
  EXPECT_EQ(ReadBytes(run.dir.file("flash0.bin")), contents);  // written back as it was
  EXPECT_FALSE(run.Exists("tmp"));
}

INSTANTIATE_TEST_SUITE_P(RoutesAndFamilies, DumpEveryRoute,
                         ::testing::Combine(::testing::Values("ks", "private", "both"),
                                            ::testing::Values("primary", "secondary"),
                                            ::testing::Values(0x6A, 0x95, 0x80, 0xA3, 0xB1, 0xC0,
                                                              0xDF)),
                         [](const ::testing::TestParamInfo<DumpCase>& info) {
                           return std::get<0>(info.param) + "_" + std::get<1>(info.param) +
                                  "_chip" + std::to_string(std::get<2>(info.param));
                         });

json DumpScene(json camera = Camera(0)) {
  return json{{"cameras", {camera}}, {"image_devices", json::array()}};
}

TEST(Dump, ReplacesAnExistingDumpAndAPlantedLink) {
  SimRun run;
  WriteBytes(run.dir.file("victim"), {1, 2, 3});
  std::filesystem::create_symlink(run.dir.file("victim"), run.dir.file("Dump.bin"));
  const Outcome o = run.Run(DumpScene(), {L"-dump"});
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_FALSE(std::filesystem::is_symlink(run.dir.file("Dump.bin")));
  EXPECT_EQ(ReadBytes(run.dir.file("Dump.bin")).size(), 65536u);
  EXPECT_EQ(ReadBytes(run.dir.file("victim")), (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST(Dump, FolderThatCannotTakeTheFileFails) {
  // The executable's folder does not exist (root may write anywhere, so a
  // read-only folder would not do), the path cannot be read, the folder
  // and name do not fit 260 characters.
  const std::string longFolder = "/tmp/" + std::string(246, 'd');  // 251 + "/Dump.bin" = 260
  for (const std::optional<std::wstring>& exe :
       {std::optional<std::wstring>(L"/nonexistent-qvflash-folder/qvflash"),
        std::optional<std::wstring>(), std::optional<std::wstring>(Widen(longFolder + "/q"))}) {
    SimRun run;
    run.files.executable = exe;
    const Outcome o = run.Run(DumpScene(), {L"-dump"});
    EXPECT_EQ(o.out, kChecking + "Dump FW fail.\nFail");
    EXPECT_EQ(o.exitCode, 1);
  }
}

TEST(Dump, FolderAndNameFittingExactlyIsAccepted) {
  SimRun run;
  // Folder + "/Dump.bin" is 259 characters: with the terminator exactly 260.
  const std::string folder =
      run.dir.path() + "/" + std::string(259 - 9 - run.dir.path().size() - 1, 'f');
  ASSERT_EQ(folder.size() + 9, 259u);
  std::filesystem::create_directory(folder);
  run.files.executable = Widen(folder + "/qvflash");
  const Outcome o = run.Run(DumpScene(), {L"-dump"});
  EXPECT_EQ(o.out, kChecking + "Dump FW ok.\nPass");
  EXPECT_EQ(ReadBytes(folder + "/Dump.bin").size(), 65536u);
}

TEST(Dump, FailedReadOutIsNotWrittenAsADump) {
  // The camera is gone right after it was opened and its flash identified:
  // nothing of the flash can be read.
  SimRun probe;
  const Outcome clean = probe.Run(DumpScene(), {L"-dump"});
  ASSERT_EQ(clean.exitCode, 0);
  // Find the first read-out request (SET of the flash address, control 14).
  std::uint32_t firstRead = 0;
  std::uint32_t n = 0;
  for (const std::string& line : clean.trace) {
    if (line.rfind("0 ", 0) != 0) continue;
    ++n;
    if (line.rfind("0 SET 14 ", 0) == 0) {
      firstRead = n;
      break;
    }
  }
  ASSERT_GT(firstRead, 0u);
  SimRun run;
  json camera = Camera(0);
  camera["faults"] = json::array({json{{"unplug_after", firstRead - 1}}});
  const Outcome o = run.Run(DumpScene(camera), {L"-dump"});
  EXPECT_EQ(o.out, kChecking + "Dump FW fail.\nFail");
  EXPECT_EQ(o.exitCode, 1);
  EXPECT_FALSE(run.Exists("Dump.bin"));
}

TEST(Dump, FirstCameraThatOpensIsDumpedAndNoOther) {
  SimRun run;
  WriteBytes(run.dir.file("flash1.bin"), Pattern(1));
  WriteBytes(run.dir.file("flash2.bin"), Pattern(2));
  json second = Camera(1);
  second["flash_file"] = "flash1.bin";
  json third = Camera(2);
  third["flash_file"] = "flash2.bin";
  const Outcome o = run.Run(
      json{{"cameras", {Camera(0, "ks", 0x70), second, third}}, {"image_devices", json::array()}},
      {L"-dump"});
  EXPECT_EQ(o.out, kChecking + "Dump FW ok.\nPass");
  EXPECT_EQ(ReadBytes(run.dir.file("Dump.bin")), Pattern(1));
  // The third camera's flash was never read.
  for (const std::string& line : o.trace) EXPECT_NE(line.rfind("2 SET 14 ", 0), 0u) << line;
}

}  // namespace
}  // namespace qv::testing
