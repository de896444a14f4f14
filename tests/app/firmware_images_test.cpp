// The embedded firmware images: the generated table, and a packager's own
// image 106 accepted only in the shared layout.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

#include "firmware/embedded_images.h"
#include "sim_harness.h"

namespace qv::testing {
namespace {

const std::uint8_t kTrailer[18] = {0x00, 0x10, 0x10, 0x03, 'Q', 0,   'u', 0,   'o',
                                   0,    'r',  0,    'v',  0,   'e', 0,   'l', 0};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// CMake wraps its messages: every run of blanks and line ends as one space.
std::string Unwrapped(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool blank = c == ' ' || c == '\n';
    if (!blank) {
      out.push_back(c);
    } else if (out.empty() || out.back() != ' ') {
      out.push_back(' ');
    }
  }
  return out;
}

// Runs the generator; returns its exit status and its output in `log`.
int Generate(const TempDir& dir, const std::string& firmware106, std::string& log) {
  std::string command =
      std::string("\"") + CMAKE_COMMAND + "\" -DOUTPUT_DIR=\"" + dir.path() + "\"";
  if (!firmware106.empty()) command += " -DFIRMWARE_106=\"" + firmware106 + "\"";
  command += " -P \"" + std::string(FIRMWARE_SOURCE_DIR) +
             "/generate_firmware_images.cmake\" > \"" + dir.file("log") + "\" 2>&1";
  const int status = std::system(command.c_str());
  log = Unwrapped(Slurp(dir.file("log")));
  return status;
}

// The bytes of one image array in a generated source.
std::vector<std::uint8_t> ArrayBytes(const std::string& source, int id) {
  const std::string start = "kImage" + std::to_string(id) + "[";
  std::size_t at = source.find(start);
  if (at == std::string::npos) return {};
  at = source.find('{', at);
  const std::size_t end = source.find("};", at);
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = at + 1; i + 4 <= end; ++i) {
    if (source[i] == '0' && source[i + 1] == 'x') {
      bytes.push_back(static_cast<std::uint8_t>(std::stoi(source.substr(i + 2, 2), nullptr, 16)));
      i += 3;
    }
  }
  return bytes;
}

std::vector<std::uint8_t> PackagerImage(std::uint8_t fill) {
  std::vector<std::uint8_t> image(32786, fill);
  image[0] = 0x00;  // zero bytes must survive the trip through text
  image[1] = 0xFF;
  for (std::size_t i = 0; i < sizeof kTrailer; ++i) image[32768 + i] = kTrailer[i];
  return image;
}

TEST(FirmwareImages, TheExecutableCarriesFourDistinctImagesInTheSharedLayout) {
  const auto images = firmware::EmbeddedImages();
  ASSERT_EQ(images.size(), 4u);
  std::set<int> ids;
  // The images' bytes as text: GCC 12 at -O3 misreads the bounds of a set
  // of byte vectors (-Wstringop-overread).
  std::set<std::string> contents;
  for (const auto& image : images) {
    ids.insert(image.id);
    ASSERT_EQ(image.size, firmware::kEmbeddedImageSize);
    EXPECT_EQ(std::memcmp(image.data + 32768, kTrailer, sizeof kTrailer), 0) << image.id;
    contents.emplace(reinterpret_cast<const char*>(image.data), 32768);
  }
  EXPECT_EQ(ids, (std::set<int>{102, 104, 105, 106}));
  EXPECT_EQ(contents.size(), 4u);
}

TEST(FirmwareImages, GenerationIsDeterministicAndTakesAPackagersImage) {
  TempDir first;
  std::string log;
  ASSERT_EQ(Generate(first, "", log), 0) << log;
  const std::string cpp = Slurp(first.file("firmware_images.cpp"));
  // The same stand-ins as the ones linked into this test.
  for (const auto& image : firmware::EmbeddedImages())
    EXPECT_EQ(ArrayBytes(cpp, image.id),
              std::vector<std::uint8_t>(image.data, image.data + image.size));

  TempDir second;
  const std::vector<std::uint8_t> own = PackagerImage(0x5A);
  WriteBytes(second.file("own.bin"), own);
  ASSERT_EQ(Generate(second, second.file("own.bin"), log), 0) << log;
  const std::string withOwn = Slurp(second.file("firmware_images.cpp"));
  EXPECT_EQ(ArrayBytes(withOwn, 106), own);
  EXPECT_EQ(ArrayBytes(withOwn, 102), ArrayBytes(cpp, 102));
  // The resource script carries the same bytes as little-endian words.
  const std::string rc = Slurp(second.file("firmware_images.rc"));
  const std::size_t at = rc.find("106 BINARY\nBEGIN\n");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(rc.substr(at + 17, 16), "  0xff00,0x5a5a,");
  EXPECT_NE(rc.find("0x0051,0x0075,0x006f,0x0072,0x0076,0x0065,\n  0x006c\nEND", at),
            std::string::npos);
}

TEST(FirmwareImages, APackagersImageOutsideTheLayoutIsRefused) {
  TempDir dir;
  std::string log;
  std::vector<std::uint8_t> shortImage = PackagerImage(1);
  shortImage.pop_back();
  WriteBytes(dir.file("short.bin"), shortImage);
  EXPECT_NE(Generate(dir, dir.file("short.bin"), log), 0);
  EXPECT_NE(log.find("32785 bytes long; a firmware image is exactly 32786 bytes"),
            std::string::npos)
      << log;

  std::vector<std::uint8_t> badTrailer = PackagerImage(1);
  badTrailer[32768 + 4] = 'q';
  WriteBytes(dir.file("trailer.bin"), badTrailer);
  EXPECT_NE(Generate(dir, dir.file("trailer.bin"), log), 0);
  EXPECT_NE(log.find("does not end in the image trailer"), std::string::npos) << log;

  EXPECT_NE(Generate(dir, dir.file("none.bin"), log), 0);
  EXPECT_NE(log.find("does not exist"), std::string::npos) << log;
  EXPECT_FALSE(std::filesystem::exists(dir.file("firmware_images.cpp")));
}

TEST(FirmwareImages, ConfigurationStopsOnABadPackagerImage) {
  TempDir dir;
  WriteBytes(dir.file("bad.bin"), std::vector<std::uint8_t>(100, 0));
  const std::string command = std::string("\"") + CMAKE_COMMAND + "\" -S \"" + PROJECT_SOURCE_DIR +
                              "\" -B \"" + dir.file("build") +
                              "\" -DQVFLASH_BUILD_TESTS=OFF -DQVFLASH_FIRMWARE_106=\"" +
                              dir.file("bad.bin") + "\" > \"" + dir.file("log") + "\" 2>&1";
  EXPECT_NE(std::system(command.c_str()), 0);
  const std::string log = Unwrapped(Slurp(dir.file("log")));
  EXPECT_NE(log.find("QVFLASH_FIRMWARE_106: \"" + dir.file("bad.bin") + "\" is 100 bytes long"),
            std::string::npos)
      << log;
}

}  // namespace
}  // namespace qv::testing
