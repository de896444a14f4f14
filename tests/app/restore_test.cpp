// --restore FILE as whole runs on the simulated camera: a backup (a dump and
// its sidecar) taken, the camera updated (or an update broken off), the
// backup restored: the flash holds what it held, byte for byte. Files that
// cannot be trusted are refused before any request; a camera the backup
// does not fit is not written.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/backup_file.h"
#include "app/sha256.h"
#include "sim_harness.h"

namespace qv::testing {
namespace {

json Scene(json camera) { return json{{"cameras", {camera}}, {"image_devices", {ImageDevice(0)}}}; }

// A flash that holds something of its own in every sector ("an older
// firmware"): a restore has to write all of it back.
std::vector<std::uint8_t> OwnContents(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

class Restore : public SimRun {
 public:
  Outcome Again(const json& scene, const std::vector<std::wstring>& args) {
    console = CapturingConsole{};
    return Run(scene, args);
  }
  // --dump FILE, then the sidecar a backup has beside it.
  void Backup(const json& scene, int family, const std::string& part) {
    ASSERT_EQ(Again(scene, {L"--dump", Widen(dir.file("b.bin"))}).exitCode, 0);
    WriteBytes(dir.file("b.bin.json"), Sidecar(family, part, ReadBytes(dir.file("b.bin"))));
  }
  static std::vector<std::uint8_t> Sidecar(int family, const std::string& part,
                                           const std::vector<std::uint8_t>& bytes) {
    std::uint8_t type = 121;
    while (kFlashParts[type - 121].name != part) ++type;
    const std::string text =
        SidecarJson({"", static_cast<ChipFamily>(family), part, type,
                     static_cast<std::uint32_t>(bytes.size()), Sha256Hex(bytes), "", "test"});
    return {text.begin(), text.end()};
  }
};

// The request of the update that sends its `n`-th download block.
int DownloadBlockRequest(const json& scene, int n) {
  SimRun run;
  const Outcome o = run.Run(scene, {});
  int request = 0;
  for (const std::string& line : o.trace) {
    if (line.rfind("0 ", 0) != 0) continue;
    ++request;
    if (line.rfind("0 SET 10 ", 0) == 0 && --n == 0) return request;
  }
  return 0;
}

struct WayBack {
  const char* name;
  int chipId;
  int family;
  const char* part;
  std::size_t flashSize;
  // What changes the flash between backup and restore: an update, one
  // broken off in the middle of its download, or one sector's bytes zeroed.
  enum { Update, BrokenUpdate, OneSector } between;
  bool sidecar;  // false: the dump alone, restored with --force
  bool reenumerates = false;
};

TEST(Restore, GivesBackTheFlashAfterAnUpdate) {
  const WayBack rows[] = {
      {"102, without a sidecar", 0x6A, 102, "GD25Q512", 0x10000, WayBack::Update, false},
      {"103, class 2 (sector erase D7)", 0x9A, 103, "PM25LD512", 0x10000, WayBack::Update, true},
      {"104, update broken off", 0x8A, 104, "GD25Q512", 0x10000, WayBack::BrokenUpdate, true},
      {"104, 128 KB part", 0x8A, 104, "MX25L1006E", 0x20000, WayBack::Update, true},
      {"104, one byte per program", 0x8A, 104, "SST25VF512", 0x10000, WayBack::OneSector, true},
      {"105", 0xAA, 105, "GD25Q512", 0x10000, WayBack::Update, true},
      {"106, by the download engine, re-found", 0xB1, 106, "GD25Q512", 0x10000, WayBack::Update,
       true, true},
      {"108, update broken off", 0xD1, 108, "GD25Q512", 0x10000, WayBack::BrokenUpdate, true},
  };
  for (const WayBack& row : rows) {
    SCOPED_TRACE(row.name);
    Restore run;
    const std::vector<std::uint8_t> before = OwnContents(row.flashSize);
    WriteBytes(run.dir.file("f.bin"), before);
    json camera = WithFlashFile(Camera(0, "ks", row.chipId, row.part), "f.bin");
    camera["flash_size"] = row.flashSize;
    camera["reenumerates"] = row.reenumerates;
    const json scene = Scene(camera);
    run.Backup(scene, row.family, row.part);
    if (!row.sidecar) std::filesystem::remove(run.dir.file("b.bin.json"));

    json updating = scene;
    if (row.between == WayBack::OneSector) {
      std::vector<std::uint8_t> changed = before;
      std::fill_n(changed.begin() + 0x3000, 0x1000, 0);
      WriteBytes(run.dir.file("f.bin"), changed);
    } else if (row.between == WayBack::BrokenUpdate) {
      const int block = DownloadBlockRequest(scene, 4);
      ASSERT_GT(block, 0);
      updating["cameras"][0]["faults"] = {
          {{"request", block}, {"result", "0x8007001F"}, {"count", 2}}};
    }
    if (row.between != WayBack::OneSector) {
      EXPECT_EQ(run.Again(updating, {}).exitCode, row.between == WayBack::BrokenUpdate ? 1 : 0);
    }
    const std::vector<std::uint8_t> updated = ReadBytes(run.dir.file("f.bin"));
    int differing = 0;
    for (std::size_t a = 0; a < 0x10000; a += 0x1000)
      differing +=
          std::equal(before.begin() + a, before.begin() + a + 0x1000, updated.begin() + a) ? 0 : 1;
    ASSERT_GT(differing, 0);

    std::vector<std::wstring> args{L"--restore", Widen(run.dir.file("b.bin")), L"--json",
                                   Widen(run.dir.file("r.json"))};
    if (!row.sidecar) args.push_back(L"--force");
    // The SPI route sends no download request: a unit without the download
    // preparation of family 105 (the last control: no other hidden behind
    // it) is restored all the same.
    json restoring = scene;
    if (row.family == 105) restoring["cameras"][0]["undeclared_controls"] = {20};
    const Outcome o = run.Again(restoring, args);
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_NE(o.err.find("Device 0: restored and verified\n"), std::string::npos) << o.err;
    EXPECT_EQ(o.flash[0], before);
    const json report = json::parse(ReadBytes(run.dir.file("r.json")));
    const json& written = report["cameras"][0];
    EXPECT_EQ(report["mode"].dump() + written["action"].dump() + written["verify"].dump(),
              "\"restore\"\"restored\"\"pass\"");
    // Only the sectors that differ go through the SPI master; the download
    // writes all sixteen.
    EXPECT_EQ(written["sectors_written"], row.family >= 106 ? 16 : differing);
    EXPECT_EQ(written["changed"], true);
    EXPECT_EQ(written["flash_after"]["backup_span"]["sha256"],
              Sha256Hex(std::span<const std::uint8_t>(before).first(0x10000)));
  }
}

// A camera the backup does not fit, or whose flash keeps a byte: exit 1,
// with nothing written in the first two cases and the difference told in
// the third; a camera another program streams from: exit 4, not written.
TEST(Restore, RefusesACameraTheBackupDoesNotFitAndFindsAStuckCell) {
  const std::string refused = "Device 0: not restored, nothing written: ";
  struct Row {
    const char* name;
    int chipId;
    const char* part;
    json camera;  // more keys of the camera
    bool force;
    std::string line;
    int exitCode = 1;
  } rows[] = {
      {"another family's backup", 0x6A, "GD25Q512", json::object(), false,
       refused + "the backup is not one of this camera (it was read from chip family 104 with "
                 "GD25Q512, this camera is family 102 with GD25Q512)\n"},
      {"a part smaller than the file", 0x8A, "PM25LD256", json::object(), true,
       refused + "the backup is not one of this camera (it holds 65536 bytes, the camera's "
                 "PM25LD256 32768)\n"},
      {"a download control missing on 106",
       0xB1,
       "GD25Q512",
       {{"undeclared_controls", {12}}},
       true,
       refused + "the camera does not offer a control the update needs (control 12"},
      {"download blocks that do not divide it",
       0xB1,
       "GD25Q512",
       {{"dfu_block_length", 3000}},
       true,
       refused + "the camera's flash takes blocks of another size than this update writes "
                 "(the camera's download blocks are 3000 bytes, the backup 65536)"},
      {"a camera in use",
       0x8A,
       "GD25Q512",
       {{"streaming", true}},
       false,
       refused + "another program is using the camera",
       4},
      {"a stuck cell",
       0x8A,
       "GD25Q512",
       {{"faults", {{{"stuck_cells", {0x1234}}}}}},
       false,
       "Device 0: restore failed: the flash read back after the restore does not hold the "
       "backup (1 byte differs, the first at 0x1234)\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Restore run;
    const std::vector<std::uint8_t> backup = OwnContents(0x10000);
    WriteBytes(run.dir.file("b.bin"), backup);
    if (!row.force)
      WriteBytes(run.dir.file("b.bin.json"), Restore::Sidecar(104, "GD25Q512", backup));
    json camera = Camera(0, "ks", row.chipId, row.part);
    camera.update(row.camera);
    std::vector<std::wstring> args{L"--restore", Widen(run.dir.file("b.bin"))};
    if (row.force) args.push_back(L"--force");
    const Outcome o = run.Run(Scene(camera), args);
    EXPECT_EQ(o.exitCode, row.exitCode);
    EXPECT_NE(o.err.find(row.line), std::string::npos) << o.err;
    if (!row.camera.contains("faults")) {
      EXPECT_EQ(o.flash[0], std::vector<std::uint8_t>(o.flash[0].size(), 0xFF));
      EXPECT_EQ(o.status[0], 0x0C);
    }
  }
}

// Files a restore cannot trust, and outputs it cannot write: exit 2 before
// any request, whatever the camera.
TEST(Restore, RefusesFilesBeforeAnyRequest) {
  const std::vector<std::uint8_t> good = OwnContents(0x10000);
  std::vector<std::uint8_t> changed = good;
  changed[0x8000] ^= 1;
  const std::string garbage = "{\"format\": \"qvflash backup\"}";
  struct Row {
    const char* name;
    std::optional<std::vector<std::uint8_t>> file;
    std::optional<std::vector<std::uint8_t>> sidecar;
    std::vector<std::wstring> more;
    const char* says;
  } rows[] = {
      {"no file", std::nullopt, std::nullopt, {}, "the backup could not be read ("},
      {"empty", std::vector<std::uint8_t>{}, std::nullopt, {L"--force"}, "is empty"},
      {"not whole sectors",
       OwnContents(5000),
       std::nullopt,
       {L"--force"},
       "is not whole 4 KB sectors (5000 bytes)"},
      {"above 64 KB", OwnContents(0x11000), std::nullopt, {L"--force"}, "is larger than 64 KB"},
      {"no sidecar", good, std::nullopt, {}, "has no sidecar ("},
      {"a sidecar that is no sidecar",
       good,
       std::vector<std::uint8_t>(garbage.begin(), garbage.end()),
       {},
       "is refused: a field of the sidecar is missing"},
      {"a sidecar of another size",
       OwnContents(0x8000),
       Restore::Sidecar(104, "GD25Q512", good),
       {},
       "holds 32768 bytes, its sidecar says 65536"},
      {"a changed file",
       changed,
       Restore::Sidecar(104, "GD25Q512", good),
       {},
       "is not the file its sidecar describes"},
      {"a report that cannot be written",
       good,
       Restore::Sidecar(104, "GD25Q512", good),
       {L"--json", L"/nonexistent-folder/r.json"},
       "does not exist"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Restore run;
    if (row.file) WriteBytes(run.dir.file("b.bin"), *row.file);
    if (row.sidecar) WriteBytes(run.dir.file("b.bin.json"), *row.sidecar);
    std::vector<std::wstring> args{L"--restore", Widen(run.dir.file("b.bin"))};
    args.insert(args.end(), row.more.begin(), row.more.end());
    const Outcome o = run.Run(Scene(Camera(0)), args);
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_NE(o.err.find(row.says), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("; nothing was done\n"), std::string::npos) << o.err;
    EXPECT_EQ(o.requests[0], 0u);
    EXPECT_EQ(run.guard.calls, 0);
  }
  // Two target cameras: the person names the one the backup is for.
  Restore run;
  WriteBytes(run.dir.file("b.bin"), good);
  const Outcome o = run.Run(json{{"cameras", {Camera(0), Camera(1)}},
                                 {"image_devices", {ImageDevice(0), ImageDevice(1)}}},
                            {L"--restore", Widen(run.dir.file("b.bin")), L"--force"});
  EXPECT_EQ(o.exitCode, 2);
  EXPECT_NE(o.err.find("2 target cameras are plugged in"), std::string::npos) << o.err;
  EXPECT_EQ(o.flash[0], std::vector<std::uint8_t>(0x10000, 0xFF));
  EXPECT_EQ(o.flash[1], std::vector<std::uint8_t>(0x10000, 0xFF));
  // One target before another make's camera: it is opened again after the
  // other was looked at, and written alone.
  const Outcome one =
      run.Again(json{{"cameras", {Camera(0), Camera(1)}},
                     {"image_devices", {ImageDevice(0), ImageDevice(1, "VID_046D&PID_0825")}}},
                {L"--restore", Widen(run.dir.file("b.bin")), L"--force"});
  EXPECT_EQ(one.exitCode, 0) << one.err;
  EXPECT_EQ(one.flash[0], good);
  EXPECT_EQ(one.flash[1], std::vector<std::uint8_t>(0x10000, 0xFF));
}

}  // namespace
}  // namespace qv::testing
