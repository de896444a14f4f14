// Files on Linux: replaced without following planted links, bounded reads,
// the executable path and its length limit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/linux/linux_file_system.h"
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

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
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
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"Dump.bin"});  // no temporary left
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
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"Dump.bin"});
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
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"tmp", "victim"}));
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

TEST(LinuxFileSystem, ExecutablePathMustFitWithItsTerminator) {
  std::wstring path;
  const std::string fits = "/" + std::string(258, 'a');  // 259 characters + terminator = 260
  ASSERT_TRUE(TestableFileSystem::AcceptExecutablePath(fits, path));
  EXPECT_EQ(path.size(), 259u);
  const std::string tooLong = "/" + std::string(259, 'a');
  path = L"unchanged";
  EXPECT_FALSE(TestableFileSystem::AcceptExecutablePath(tooLong, path));
  EXPECT_EQ(path, L"unchanged");
  // Characters, not bytes, are counted: 129 two-byte characters fit.
  std::string wide = "/";
  for (int i = 0; i < 129; ++i) wide += "\xC3\xA9";
  ASSERT_TRUE(TestableFileSystem::AcceptExecutablePath(wide, path));
  EXPECT_EQ(path.size(), 130u);
  EXPECT_FALSE(TestableFileSystem::AcceptExecutablePath("/bad\xFF", path));
}

}  // namespace
}  // namespace qv::linux_host
