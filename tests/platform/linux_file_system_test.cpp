// Files on Linux: replaced without following planted links, bounded reads,
// paths as bytes without a length limit of the tool's, the private temporary
// file, the installed program's folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/linux/linux_file_system.h"
#include "platform/linux/wide_text.h"
#include "temp_dir.h"

namespace qv::linux_host {
namespace {

using qv::testing::TempDir;

std::vector<std::uint8_t> Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool IsSymlink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

class TestableFileSystem : public LinuxFileSystem {
 public:
  using LinuxFileSystem::AcceptExecutablePath;
};

TEST(LinuxFileSystem, WriteFileCreatesAndReplaces) {
  TempDir dir;
  LinuxFileSystem files;
  const std::vector<std::uint8_t> first = {1, 2, 3, 0, 255};
  ASSERT_TRUE(files.WriteFile(dir.wideFile("Dump.bin"), first));
  EXPECT_EQ(Contents(dir.file("Dump.bin")), first);
  const std::vector<std::uint8_t> second = {9};
  ASSERT_TRUE(files.WriteFile(dir.wideFile("Dump.bin"), second));
  EXPECT_EQ(Contents(dir.file("Dump.bin")), second);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"Dump.bin"});  // no temporary left
}

TEST(LinuxFileSystem, WriteFileReplacesPlantedLinkWithoutFollowingIt) {
  TempDir dir;
  LinuxFileSystem files;
  std::ofstream(dir.file("victim")) << "precious";
  ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file("Dump.bin").c_str()), 0);
  const std::vector<std::uint8_t> data = {0xAA, 0xBB};
  ASSERT_TRUE(files.WriteFile(dir.wideFile("Dump.bin"), data));
  EXPECT_FALSE(IsSymlink(dir.file("Dump.bin")));
  EXPECT_EQ(Contents(dir.file("Dump.bin")), data);
  const std::string precious = "precious";
  EXPECT_EQ(Contents(dir.file("victim")),
            std::vector<std::uint8_t>(precious.begin(), precious.end()));
  // A dangling link is no different.
  ASSERT_EQ(::symlink(dir.file("nowhere").c_str(), dir.file("tmp").c_str()), 0);
  ASSERT_TRUE(files.WriteFile(dir.wideFile("tmp"), data));
  EXPECT_FALSE(std::filesystem::exists(dir.file("nowhere")));
}

TEST(LinuxFileSystem, WriteFileFailsCleanlyWhereNoFileCanBe) {
  TempDir dir;
  LinuxFileSystem files;
  const std::vector<std::uint8_t> data = {1};
  EXPECT_FALSE(files.WriteFile(dir.wideFile("missing/Dump.bin"), data));
  std::filesystem::create_directory(dir.file("Dump.bin"));
  EXPECT_FALSE(files.WriteFile(dir.wideFile("Dump.bin"), data));
  EXPECT_EQ(dir.names(), std::vector<std::string>{"Dump.bin"});
  // Text that has no UTF-8 form is not a path.
  EXPECT_FALSE(files.WriteFile(std::wstring(L"/tmp/bad") + wchar_t(0xD800), data));
}

TEST(LinuxFileSystem, MappedFileTakesTheNameAndTheBytes) {
  TempDir dir;
  LinuxFileSystem files;
  std::ofstream(dir.file("victim")) << "precious";
  ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file("tmp").c_str()), 0);
  {
    auto mapped = files.CreateMapped(dir.wideFile("tmp"), 5);
    ASSERT_NE(mapped, nullptr);
    for (int i = 0; i < 5; ++i) mapped->data()[i] = static_cast<std::uint8_t>(10 + i);
  }
  EXPECT_FALSE(IsSymlink(dir.file("tmp")));
  EXPECT_EQ(Contents(dir.file("tmp")), (std::vector<std::uint8_t>{10, 11, 12, 13, 14}));
  EXPECT_EQ(Contents(dir.file("victim")).size(), 8u);
  EXPECT_EQ(files.CreateMapped(dir.wideFile("tmp"), 0), nullptr);
  EXPECT_EQ(files.CreateMapped(dir.wideFile("missing/tmp"), 5), nullptr);
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"tmp", "victim"}));
}

TEST(LinuxFileSystem, ReadFileIsBoundedByTheBuffer) {
  TempDir dir;
  LinuxFileSystem files;
  std::ofstream(dir.file("f"), std::ios::binary) << std::string("abcdef");
  std::vector<std::uint8_t> buffer(6, 0);
  std::size_t length = 99;
  EXPECT_EQ(files.ReadFile(dir.wideFile("f"), buffer, length), IFileSystem::ReadResult::Ok);
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(buffer, (std::vector<std::uint8_t>{'a', 'b', 'c', 'd', 'e', 'f'}));

  std::vector<std::uint8_t> small(5, 0);
  EXPECT_EQ(files.ReadFile(dir.wideFile("f"), small, length), IFileSystem::ReadResult::TooLong);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(files.ReadFile(dir.wideFile("none"), buffer, length),
            IFileSystem::ReadResult::CannotOpen);
  EXPECT_EQ(files.ReadFile(std::wstring(dir.path().begin(), dir.path().end()), buffer, length),
            IFileSystem::ReadResult::ReadError);  // a folder
}

TEST(LinuxFileSystem, RemoveFile) {
  TempDir dir;
  LinuxFileSystem files;
  std::ofstream(dir.file("tmp")) << "x";
  EXPECT_TRUE(files.RemoveFile(dir.wideFile("tmp")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("tmp")));
  EXPECT_FALSE(files.RemoveFile(dir.wideFile("tmp")));
}

TEST(LinuxFileSystem, ExecutablePathIsThisProgram) {
  LinuxFileSystem files;
  std::wstring path;
  ASSERT_TRUE(files.ExecutablePath(path));
  EXPECT_EQ(files.PathSeparator(), L'/');
  EXPECT_EQ(path.front(), L'/');
  EXPECT_NE(path.find(L"platform_linux_tests"), std::wstring::npos);
}

TEST(LinuxFileSystem, ExecutablePathIsBytesWithoutALimitOfItsOwn) {
  std::wstring path;
  // Longer than Windows' 260, a folder name that is not UTF-8 (Latin-1 "e
  // acute"), and valid UTF-8: all are the program's path, byte for byte.
  for (const std::string& bytes :
       {"/" + std::string(600, 'a') + "/qvflash", std::string("/opt/caf\xE9/qvflash"),
        std::string("/opt/caf\xC3\xA9/\xFF\xFE/q")}) {
    ASSERT_TRUE(TestableFileSystem::AcceptExecutablePath(bytes, path)) << bytes;
    std::string back;
    ASSERT_TRUE(WideToPath(path, back));
    EXPECT_EQ(back, bytes);
  }
  EXPECT_EQ(path.substr(0, 10), L"/opt/caf\u00e9/");  // UTF-8 read as its characters
  path = L"unchanged";
  EXPECT_FALSE(TestableFileSystem::AcceptExecutablePath("", path));
  EXPECT_EQ(path, L"unchanged");
}

TEST(LinuxFileSystem, FilesInAFolderWhoseNameIsNotUtf8) {
  TempDir dir;
  LinuxFileSystem files;
  const std::string folder = dir.file("caf\xE9-\xFF");
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  const std::wstring wideFolder = PathToWide(folder);
  const std::vector<std::uint8_t> data = {1, 2, 3};
  ASSERT_TRUE(files.WriteFile(wideFolder + L"/Dump.bin", data));
  EXPECT_EQ(Contents(folder + "/Dump.bin"), data);
  {
    auto mapped = files.CreateMapped(wideFolder + L"/tmp", 4);
    ASSERT_NE(mapped, nullptr);
    std::memcpy(mapped->data(), "abcd", 4);
  }
  std::uint8_t buffer[8] = {};
  std::size_t length = 0;
  ASSERT_EQ(files.ReadFile(wideFolder + L"/tmp", buffer, length), IFileSystem::ReadResult::Ok);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "abcd");
  EXPECT_TRUE(files.RemoveFile(wideFolder + L"/tmp"));
  EXPECT_EQ(files.PathForMessage(wideFolder + L"/tmp"), folder + "/tmp");
}

TEST(LinuxFileSystem, PathsLongerThanWindowsAllows) {
  TempDir dir;
  LinuxFileSystem files;
  std::string folder = dir.path();
  while (folder.size() < 400) {
    folder += "/" + std::string(60, 'x');
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  }
  const std::vector<std::uint8_t> data = {42};
  ASSERT_TRUE(files.WriteFile(PathToWide(folder + "/Dump.bin"), data));
  EXPECT_EQ(Contents(folder + "/Dump.bin"), data);
  EXPECT_EQ(files.PathLimit(), 0u);
}

TEST(LinuxFileSystem, TemporaryFileIsPrivateFreshAndInTheTemporaryFolder) {
  TempDir dir;
  const char* before = std::getenv("TMPDIR");
  const std::string saved = before != nullptr ? before : "";
  ::setenv("TMPDIR", dir.path().c_str(), 1);
  LinuxFileSystem files;
  std::wstring first;
  std::wstring second;
  {
    auto a = files.CreateMappedTemporary(5, first);
    auto b = files.CreateMappedTemporary(5, second);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::memcpy(a->data(), "hello", 5);
  }
  if (before != nullptr) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  EXPECT_NE(first, second);
  std::string name;
  ASSERT_TRUE(WideToPath(first, name));
  EXPECT_EQ(name.rfind(dir.path() + "/", 0), 0u);
  struct stat st {};
  ASSERT_EQ(::stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // nobody else may read or swap it
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(Contents(name), (std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o'}));
}

TEST(LinuxFileSystem, InstalledProgramFolderAndCurrentDirectory) {
  TempDir installed;
  TempDir portable;
  LinuxFileSystem files(installed.path());
  EXPECT_TRUE(files.IsInstalledProgramFolder(PathToWide(installed.path())));
  EXPECT_FALSE(files.IsInstalledProgramFolder(PathToWide(portable.path())));
  // A folder that is not there is no installed copy's: writing there fails
  // as it always did.
  EXPECT_FALSE(files.IsInstalledProgramFolder(PathToWide(portable.file("missing"))));
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(portable.path().c_str(), 0555), 0);
    EXPECT_TRUE(files.IsInstalledProgramFolder(PathToWide(portable.path())));
    ::chmod(portable.path().c_str(), 0755);
  }
  std::wstring current;
  ASSERT_TRUE(files.CurrentDirectory(current));
  EXPECT_EQ(current, PathToWide(std::filesystem::current_path().string()));
}

// The state folder from the environment (a relative XDG_STATE_HOME is
// ignored; none at all: no state folder), made with what it lacks; a file
// in the way of a folder refused.
TEST(LinuxFileSystem, StateFolderFromTheEnvironment) {
  TempDir dir;
  LinuxFileSystem files;
  const char* const homeWas = std::getenv("HOME");
  const char* const stateWas = std::getenv("XDG_STATE_HOME");
  const std::string home = homeWas != nullptr ? homeWas : "";
  const std::string state = stateWas != nullptr ? stateWas : "";
  const struct {
    const char* xdg;
    const char* home;
    std::string folder;  // empty: none
  } rows[] = {{"/srv/state", "/home/t", "/srv/state/qvflash/"},
              {"state", "/home/t/", "/home/t/.local/state/qvflash/"},
              {nullptr, "/home/t", "/home/t/.local/state/qvflash/"},
              {nullptr, nullptr, ""}};
  for (const auto& row : rows) {
    row.xdg != nullptr ? ::setenv("XDG_STATE_HOME", row.xdg, 1) : ::unsetenv("XDG_STATE_HOME");
    row.home != nullptr ? ::setenv("HOME", row.home, 1) : ::unsetenv("HOME");
    std::wstring folder;
    EXPECT_EQ(files.StateFolder(folder), !row.folder.empty());
    EXPECT_EQ(folder, row.folder.empty() ? L"" : PathToWide(row.folder)) << row.folder;
  }
  ::setenv("XDG_STATE_HOME", dir.file("state").c_str(), 1);
  std::wstring folder;
  ASSERT_TRUE(files.StateFolder(folder));
  EXPECT_TRUE(files.CreateFolders(folder + L"backups/"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("state/qvflash/backups")));
  std::ofstream(dir.file("state/qvflash/plain")) << "x";
  EXPECT_FALSE(files.CreateFolders(dir.wideFile("state/qvflash/plain/sub/")));
  stateWas != nullptr ? ::setenv("XDG_STATE_HOME", state.c_str(), 1) : ::unsetenv("XDG_STATE_HOME");
  if (homeWas != nullptr) ::setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace qv::linux_host
