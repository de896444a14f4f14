// Each errno the V4L2 stack can meet, as the HRESULT the logic sees.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "platform/linux/os_error.h"

namespace qv::linux_host {
namespace {

struct Row {
  int error;
  std::uint32_t expected;
};

// The values the Windows stack reports for the same conditions.
constexpr Row kExpected[] = {
    {ENODEV, 0x8007048F},     // ERROR_DEVICE_NOT_CONNECTED: unplugged
    {ESHUTDOWN, 0x8007048F},  // going away
    {ENXIO, 0x8007048F},      // node without its device
    {ENOENT, 0x80070490},     // ERROR_NOT_FOUND: no such unit or selector
    {ENOBUFS, 0x8007007A},    // ERROR_INSUFFICIENT_BUFFER: length differs from GET_LEN
    {EINVAL, 0x80070057},     // ERROR_INVALID_PARAMETER
    {ERANGE, 0x80070057},
    {EBADRQC, 0x80070001},  // ERROR_INVALID_FUNCTION: request not
                            // supported by the control
    {EPIPE, 0x8007001F},    // ERROR_GEN_FAILURE: stalled control
    {EPROTO, 0x8007001F},
    {EILSEQ, 0x8007001F},
    {EREMOTE, 0x8007001F},
    {EIO, 0x8007045D},        // ERROR_IO_DEVICE
    {ETIMEDOUT, 0x80070079},  // ERROR_SEM_TIMEOUT
    {EACCES, 0x80070005},     // E_ACCESSDENIED
    {EPERM, 0x80070005},
    {EBUSY, 0x800700AA},  // ERROR_BUSY
    {EAGAIN, 0x800700AA},
    {ENOMEM, 0x8007000E},  // E_OUTOFMEMORY
    {EFAULT, 0x80004003},  // E_POINTER
    {ENOTTY, 0x80070032},  // ERROR_NOT_SUPPORTED
};

TEST(ErrnoToHresult, EachMappingIsTheWindowsStacksAnswer) {
  for (const Row& row : kExpected) {
    EXPECT_EQ(static_cast<std::uint32_t>(hresultFromErrno(row.error)), row.expected)
        << "errno " << row.error;
  }
}

TEST(ErrnoToHresult, TheTableIsCheckedRowByRowAndEveryRowIsAFailure) {
  std::set<int> expected;
  for (const Row& row : kExpected) expected.insert(row.error);
  std::set<int> seen;
  for (const ErrnoMapping& mapping : errnoMappings()) {
    EXPECT_TRUE(seen.insert(mapping.error).second) << "errno " << mapping.error << " twice";
    EXPECT_TRUE(expected.count(mapping.error)) << "errno " << mapping.error << " untested";
    EXPECT_TRUE(failed(mapping.result)) << "errno " << mapping.error;
  }
  EXPECT_EQ(seen, expected);
}

// The names shown beside a failed request are the C library's own.
TEST(ErrnoToHresult, EachRowIsNamedAsTheCLibraryNamesIt) {
  for (const ErrnoMapping& mapping : errnoMappings()) {
    EXPECT_EQ(errnoName(mapping.error), std::string_view(strerrorname_np(mapping.error)));
  }
  EXPECT_EQ(errnoName(EXDEV), "");
  EXPECT_EQ(errnoName(0), "");
}

TEST(ErrnoToHresult, SuccessAndTheUnknown) {
  EXPECT_EQ(hresultFromErrno(0), hr::Ok);
  EXPECT_EQ(hresultFromErrno(EXDEV), hr::Fail);
  EXPECT_EQ(hresultFromErrno(-1), hr::Fail);
}

}  // namespace
}  // namespace qv::linux_host
