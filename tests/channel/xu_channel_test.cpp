// The extension-unit channel against recording fakes of the KS control,
// the topology and the driver's private interface.
#include "channel/xu_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/failure_notes.h"
#include "tests/support/xu_fakes.h"

namespace qv {
namespace {

using test::FakeKsControl;
using test::FakeTopology;
using test::FakeVendorXuAccess;
using test::PrivateCall;

constexpr Guid kOtherNode = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};

std::vector<std::uint8_t> head(const std::vector<std::uint8_t>& v, std::size_t n) {
  return {v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n)};
}

TEST(XuChannelTest, StartsUnboundAndAnswersOneWithoutPlatformCalls) {
  CXuChannel channel;
  EXPECT_EQ(channel.mode(), XU_MODE_UNBOUND);
  EXPECT_EQ(channel.family(), CHIP_FAMILY_NONE);
  EXPECT_EQ(channel.ksControl(), nullptr);

  FakeVendorXuAccess priv;
  channel.SetPrivateInterface(&priv);  // attached but mode stays unbound
  std::uint8_t byte = 0x5A;
  std::uint32_t length = 77;
  EXPECT_EQ(channel.SetControl(XU_REG_DATA, 1, &byte), 1);
  EXPECT_EQ(channel.GetControl(XU_REG_DATA, 1, &byte), 1);
  EXPECT_EQ(channel.GetControlLength(XU_FLASH_DATA, &length), 1);
  EXPECT_EQ(length, 77u);
  EXPECT_EQ(byte, 0x5A);
  EXPECT_TRUE(priv.calls.empty());

  // Any unlisted mode behaves as unbound.
  channel.setMode(7);
  EXPECT_EQ(channel.SetControl(XU_REG_DATA, 1, &byte), 1);
  channel.setMode(-1);
  EXPECT_EQ(channel.GetControl(XU_REG_DATA, 1, &byte), 1);
  EXPECT_TRUE(priv.calls.empty());
}

TEST(XuChannelTest, NullLengthOutputIsEPointerInEveryMode) {
  FakeKsControl ks;
  FakeTopology topo({kKsNodeTypeDevSpecific});
  FakeVendorXuAccess priv;
  for (std::int32_t mode : {0, 1, 2, 3, 9}) {
    CXuChannel channel;
    channel.SetPrivateInterface(&priv);
    channel.setMode(XU_MODE_KS);
    channel.FindExtensionUnit(&topo, &ks);
    ks.calls.clear();
    channel.setMode(mode);
    EXPECT_EQ(channel.GetControlLength(XU_FLASH_DATA, nullptr), hr::Pointer) << mode;
  }
  EXPECT_TRUE(ks.calls.empty());
  EXPECT_TRUE(priv.calls.empty());
}

TEST(XuChannelTest, KsModesWithoutControlAnswerEPointerAfterWritingTheProperty) {
  for (std::int32_t mode : {XU_MODE_KS, XU_MODE_KS_AND_PRIVATE}) {
    CXuChannel channel;
    channel.setMode(mode);
    std::uint8_t data[2] = {1, 2};
    std::uint32_t length = 5;
    EXPECT_EQ(channel.SetControl(XU_REG_ADDR, 2, data), hr::Pointer);
    EXPECT_EQ(channel.property().Property.Id, XU_REG_ADDR);
    EXPECT_EQ(channel.property().Property.Flags, 0x10000002u);
    EXPECT_EQ(channel.GetControl(XU_REG_DATA, 1, data), hr::Pointer);
    EXPECT_EQ(channel.property().Property.Id, XU_REG_DATA);
    EXPECT_EQ(channel.property().Property.Flags, 0x10000001u);
    EXPECT_EQ(channel.GetControlLength(XU_FLASH_DATA, &length), hr::Pointer);
    EXPECT_EQ(channel.property().Property.Id, XU_FLASH_DATA);
    EXPECT_EQ(channel.property().NodeId, 0u);
    EXPECT_EQ(length, 5u);
  }
}

// A topology whose single extension-unit node sits at index 2 and answers on
// the primary set.
struct BoundKsChannel {
  FakeKsControl ks;
  FakeTopology topo{{kOtherNode, kOtherNode, kKsNodeTypeDevSpecific}};
  CXuChannel channel;
  BoundKsChannel(std::int32_t mode = XU_MODE_KS) {
    channel.setMode(mode);
    EXPECT_EQ(channel.FindExtensionUnit(&topo, &ks), hr::Ok);
    ks.calls.clear();
  }
};

TEST(XuChannelTest, KsSetAndGetPassTheCallersBufferThrough) {
  BoundKsChannel b;
  b.ks.setHandler([](const KSP_NODE& p, std::uint8_t* data, std::uint32_t length, std::uint32_t*) {
    if ((p.Property.Flags & kKsPropertyTypeGet) != 0) {
      for (std::uint32_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    return hr::Ok;
  });
  const std::uint8_t out[4] = {0x00, 0x10, 0x00, 0x00};
  EXPECT_EQ(b.channel.SetControl(XU_FLASH_ADDR, 4, out), hr::Ok);
  std::uint8_t in[3] = {};
  EXPECT_EQ(b.channel.GetControl(XU_FLASH_ID, 3, in), hr::Ok);

  ASSERT_EQ(b.ks.calls.size(), 2u);
  const auto& set = b.ks.calls[0];
  EXPECT_EQ(set.propertyLength, 32u);
  EXPECT_EQ(set.property.Property.Set, XU_GUID_PRIMARY);
  EXPECT_EQ(set.property.Property.Id, XU_FLASH_ADDR);
  EXPECT_EQ(set.property.Property.Flags, 0x10000002u);
  EXPECT_EQ(set.property.NodeId, 2u);
  EXPECT_EQ(set.dataLength, 4u);
  EXPECT_EQ(set.data, (std::vector<std::uint8_t>{0x00, 0x10, 0x00, 0x00}));
  const auto& get = b.ks.calls[1];
  EXPECT_EQ(get.property.Property.Id, XU_FLASH_ID);
  EXPECT_EQ(get.property.Property.Flags, 0x10000001u);
  EXPECT_EQ(get.property.NodeId, 2u);
  EXPECT_EQ(in[0], 0xA0);
  EXPECT_EQ(in[2], 0xA2);
}

TEST(XuChannelTest, KsResultsComeBackUnchanged) {
  BoundKsChannel b(XU_MODE_KS_AND_PRIVATE);
  b.ks.setHandler([](const KSP_NODE&, std::uint8_t*, std::uint32_t, std::uint32_t*) {
    return hr::DeviceNotConnected;
  });
  std::uint8_t byte = 0;
  EXPECT_EQ(b.channel.SetControl(XU_REG_DATA, 1, &byte), hr::DeviceNotConnected);
  EXPECT_EQ(b.channel.GetControl(XU_REG_DATA, 1, &byte), hr::DeviceNotConnected);
}

// The system's error a backend met goes with the note of the request that
// met it, and only with that one.
TEST(XuChannelTest, FailedRequestsNoteCarriesTheSystemsErrorOfThatRequest) {
  struct Case {
    const char* what;
    std::optional<SystemError> leftBefore;  // by a call that was not a request
    std::optional<SystemError> met;         // by the request itself
  };
  const SystemError eproto{71, "EPROTO"};
  const Case cases[] = {
      {"stall", std::nullopt, eproto},
      {"another call's error", SystemError{25, "ENOTTY"}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    runNotes().clear();
    BoundKsChannel b;
    b.ks.setHandler([&](const KSP_NODE&, std::uint8_t*, std::uint32_t, std::uint32_t*) {
      if (c.met) runNotes().setSystemError(*c.met);
      return hr::GenFailure;
    });
    if (c.leftBefore) runNotes().setSystemError(*c.leftBefore);
    std::uint8_t byte = 0;
    EXPECT_EQ(b.channel.SetControl(XU_REG_DATA, 1, &byte), hr::GenFailure);
    ASSERT_EQ(runNotes().notes().size(), 1u);
    const FailureNote& note = runNotes().notes()[0];
    EXPECT_EQ(note.kind, FailureKind::RequestFailed);
    ASSERT_EQ(note.systemError.has_value(), c.met.has_value());
    if (c.met) {
      EXPECT_EQ(note.systemError->code, c.met->code);
      EXPECT_EQ(note.systemError->name, c.met->name);
    }
    // A later failure, noted or not, takes its own error along.
    (void)b.channel.GetControl(XU_REG_DATA, 1, &byte);
    EXPECT_FALSE(runNotes().takeSystemError().has_value());
  }
  runNotes().clear();
}

TEST(XuChannelTest, KsGetWithFewerBytesThanAskedFails) {
  // A reply shorter than the buffer would leave stale bytes behind it (a
  // read-out block holding the previous block's tail): the GET fails.
  struct Case {
    std::uint32_t returned;
    HResult answer;
    HResult expected;
  };
  const Case cases[] = {
      {64, hr::Ok, hr::Ok},
      {63, hr::Ok, kXuShortReply},
      {1, hr::False, kXuShortReply},  // success codes other than S_OK alike
      {0, hr::DeviceNotConnected, hr::DeviceNotConnected},
  };
  for (const Case& c : cases) {
    BoundKsChannel b;
    b.ks.setHandler(
        [&](const KSP_NODE&, std::uint8_t* data, std::uint32_t, std::uint32_t* returned) {
          for (std::uint32_t i = 0; i < c.returned; ++i) data[i] = 0x5A;
          *returned = c.returned;
          return c.answer;
        });
    std::uint8_t block[64];
    std::memset(block, 0xEE, sizeof block);
    EXPECT_EQ(b.channel.GetControl(XU_FLASH_DATA, sizeof block, block), c.expected) << c.returned;
  }
  // A SET reports no bytes back and is not affected.
  BoundKsChannel b;
  b.ks.setHandler([](const KSP_NODE&, std::uint8_t*, std::uint32_t, std::uint32_t* returned) {
    *returned = 0;
    return hr::Ok;
  });
  const std::uint8_t address[4] = {};
  EXPECT_EQ(b.channel.SetControl(XU_FLASH_ADDR, 4, address), hr::Ok);
}

TEST(XuChannelTest, KsGetLengthSucceedsOnlyOnMoreData) {
  BoundKsChannel b;
  HResult answer = hr::Ok;
  b.ks.setHandler([&](const KSP_NODE&, std::uint8_t*, std::uint32_t, std::uint32_t* returned) {
    *returned = 2;
    return answer;
  });
  std::uint32_t length = 99;
  // S_OK carries no length: returned unchanged, the length is not written.
  EXPECT_EQ(b.channel.GetControlLength(XU_FLASH_DATA, &length), hr::Ok);
  EXPECT_EQ(length, 99u);
  answer = hr::MoreData;
  EXPECT_EQ(b.channel.GetControlLength(XU_FLASH_DATA, &length), hr::Ok);
  EXPECT_EQ(length, 2u);
  length = 99;
  answer = hr::NotFound;
  EXPECT_EQ(b.channel.GetControlLength(XU_FLASH_DATA, &length), hr::NotFound);
  EXPECT_EQ(length, 99u);

  ASSERT_EQ(b.ks.calls.size(), 3u);
  EXPECT_TRUE(b.ks.calls[0].dataNull);
  EXPECT_EQ(b.ks.calls[0].dataLength, 0u);
  EXPECT_EQ(b.ks.calls[0].property.Property.Flags, 0x10000001u);
}

TEST(XuChannelTest, PrivateBlocksCarryTheUvcRequestLayout) {
  FakeVendorXuAccess priv;
  priv.onRead = [](std::uint8_t* buffer) {
    buffer[0] = 0x42;
    return hr::Ok;
  };
  CXuChannel channel;
  channel.SetPrivateInterface(&priv);
  channel.setMode(XU_MODE_PRIVATE);

  const std::uint8_t value = 0x5A;
  EXPECT_EQ(channel.SetControl(XU_REG_DATA, 1, &value), hr::Ok);
  ASSERT_EQ(priv.calls.size(), 1u);
  EXPECT_EQ(priv.calls[0].kind, PrivateCall::Send);
  EXPECT_EQ(priv.calls[0].command, 35u);
  EXPECT_EQ(head(priv.calls[0].block, 5),
            (std::vector<std::uint8_t>{0x01, 0x00, 0x01, 0x03, 0x5A}));

  priv.calls.clear();
  std::uint8_t got = 0;
  EXPECT_EQ(channel.GetControl(XU_REG_DATA, 1, &got), hr::Ok);
  ASSERT_EQ(priv.calls.size(), 2u);
  EXPECT_EQ(priv.calls[0].kind, PrivateCall::Send);
  EXPECT_EQ(head(priv.calls[0].block, 8),
            (std::vector<std::uint8_t>{0x01, 0x00, 0x81, 0x03, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(priv.calls[1].kind, PrivateCall::Read);
  EXPECT_EQ(priv.calls[1].command, 35u);
  EXPECT_EQ(got, 0x42);
}

TEST(XuChannelTest, PrivateSetOfAFullSectorHalf) {
  FakeVendorXuAccess priv;
  std::vector<std::uint8_t> seen;
  priv.onSend = [&](const std::uint8_t* block) {
    seen.assign(block, block + 4 + 4096);
    return hr::Ok;
  };
  CXuChannel channel;
  channel.SetPrivateInterface(&priv);
  channel.setMode(XU_MODE_PRIVATE);
  std::vector<std::uint8_t> half(4096);
  for (std::size_t i = 0; i < half.size(); ++i) half[i] = static_cast<std::uint8_t>(i * 7);
  EXPECT_EQ(channel.SetControl(XU_FLASH_DATA, 4096, half.data()), hr::Ok);
  // 4096 = 0x1000: header 00 10 01 0F.
  EXPECT_EQ(head(seen, 4), (std::vector<std::uint8_t>{0x00, 0x10, 0x01, 0x0F}));
  EXPECT_TRUE(std::equal(half.begin(), half.end(), seen.begin() + 4));
}

TEST(XuChannelTest, PrivateGetReturnsTheReadResultAndCopiesTheReplyAnyway) {
  FakeVendorXuAccess priv;
  priv.onSend = [](const std::uint8_t*) { return hr::Fail; };  // ignored on a GET
  priv.onRead = [](std::uint8_t* buffer) {
    buffer[0] = 0x11;
    buffer[1] = 0x22;
    return hr::GenFailure;
  };
  CXuChannel channel;
  channel.SetPrivateInterface(&priv);
  channel.setMode(XU_MODE_PRIVATE);
  std::uint8_t got[2] = {};
  EXPECT_EQ(channel.GetControl(XU_REG_ADDR, 2, got), hr::GenFailure);
  EXPECT_EQ(got[0], 0x11);
  EXPECT_EQ(got[1], 0x22);
  EXPECT_EQ(priv.calls.size(), 2u);  // the read follows a failed send
}

TEST(XuChannelTest, PrivateGetLengthReadsTheLengthFromTheBlock) {
  FakeVendorXuAccess priv;
  priv.onRead = [](std::uint8_t* block) {
    block[0] = 0x00;
    block[1] = 0x10;
    return hr::GenFailure;
  };
  CXuChannel channel;
  channel.SetPrivateInterface(&priv);
  channel.setMode(XU_MODE_PRIVATE);
  std::uint32_t length = 0;
  EXPECT_EQ(channel.GetControlLength(XU_FLASH_DATA, &length), hr::GenFailure);
  EXPECT_EQ(length, 4096u);  // written whatever the read returned
  ASSERT_EQ(priv.calls.size(), 2u);
  EXPECT_EQ(head(priv.calls[0].block, 4), (std::vector<std::uint8_t>{0x02, 0x00, 0x85, 0x0F}));
  // The block handed to the read carries the header again and four zeros.
  EXPECT_EQ(head(priv.calls[1].block, 8),
            (std::vector<std::uint8_t>{0x02, 0x00, 0x85, 0x0F, 0x00, 0x00, 0x00, 0x00}));
}

TEST(XuChannelTest, PrivateRequestsBeyondTheBlockAreRefusedUnsent) {
  FakeVendorXuAccess priv;
  CXuChannel channel;
  channel.SetPrivateInterface(&priv);
  channel.setMode(XU_MODE_PRIVATE);
  std::vector<std::uint8_t> big(5000);
  EXPECT_TRUE(failed(channel.SetControl(XU_FLASH_DATA, 4125, big.data())));
  EXPECT_TRUE(failed(channel.GetControl(XU_FLASH_DATA, 4097, big.data())));
  EXPECT_TRUE(priv.calls.empty());
  EXPECT_EQ(channel.SetControl(XU_FLASH_DATA, 4124, big.data()), hr::Ok);
  EXPECT_EQ(channel.GetControl(XU_FLASH_DATA, 4096, big.data()), hr::Ok);
}

TEST(XuChannelTest, PrivateModeWithoutInterfaceIsEPointer) {
  CXuChannel channel;
  channel.setMode(XU_MODE_PRIVATE);
  std::uint8_t byte = 0;
  std::uint32_t length = 0;
  EXPECT_EQ(channel.SetControl(XU_REG_DATA, 1, &byte), hr::Pointer);
  EXPECT_EQ(channel.GetControl(XU_REG_DATA, 1, &byte), hr::Pointer);
  EXPECT_EQ(channel.GetControlLength(XU_REG_DATA, &length), hr::Pointer);
}

TEST(XuChannelTest, KsAndPrivateModeUsesKsOnly) {
  FakeVendorXuAccess priv;
  BoundKsChannel b(XU_MODE_KS_AND_PRIVATE);
  b.channel.SetPrivateInterface(&priv);
  std::uint8_t byte = 1;
  b.channel.SetControl(XU_REG_DATA, 1, &byte);
  b.channel.GetControl(XU_REG_DATA, 1, &byte);
  EXPECT_EQ(b.ks.calls.size(), 2u);
  EXPECT_TRUE(priv.calls.empty());
}

// ---- FindExtensionUnit ----

TEST(FindExtensionUnitTest, EmptyOrFailingTopology) {
  FakeKsControl ks;
  CXuChannel channel;
  channel.setMode(XU_MODE_KS);
  FakeTopology empty;
  EXPECT_EQ(channel.FindExtensionUnit(&empty, &ks), 1);
  EXPECT_EQ(channel.ksControl(), &ks);  // stored even when the search fails

  FakeTopology broken({kKsNodeTypeDevSpecific});
  broken.numNodesResult = hr::Unexpected;
  EXPECT_EQ(channel.FindExtensionUnit(&broken, &ks), hr::Unexpected);
  EXPECT_TRUE(ks.calls.empty());
}

TEST(FindExtensionUnitTest, OnlyExtensionUnitNodesAreProbed) {
  FakeKsControl ks;
  FakeTopology topo({kOtherNode, kKsNodeTypeDevSpecific, kKsNodeTypeDevSpecific});
  topo.failingNodes = {1};  // its type cannot be read: skipped
  CXuChannel channel;
  channel.setMode(XU_MODE_KS);
  EXPECT_EQ(channel.FindExtensionUnit(&topo, &ks), hr::Ok);
  ASSERT_EQ(ks.calls.size(), 1u);
  EXPECT_EQ(ks.calls[0].property.NodeId, 2u);
  EXPECT_EQ(ks.calls[0].property.Property.Id, XU_REG_ADDR);
  EXPECT_EQ(ks.calls[0].property.Property.Flags, 0x10000001u);
  EXPECT_EQ(ks.calls[0].dataLength, 2u);
  EXPECT_EQ(channel.nodeId(), 2u);
}

TEST(FindExtensionUnitTest, SecondaryGuidOnlyAfterSetNotFound) {
  FakeTopology topo({kKsNodeTypeDevSpecific, kKsNodeTypeDevSpecific});
  // Node 0 answers "wrong set" on the primary and succeeds on the secondary.
  FakeKsControl ks([](const KSP_NODE& p, std::uint8_t*, std::uint32_t, std::uint32_t*) {
    return p.Property.Set == XU_GUID_SECONDARY ? hr::Ok : hr::SetNotFound;
  });
  CXuChannel channel;
  channel.setMode(XU_MODE_KS);
  EXPECT_EQ(channel.FindExtensionUnit(&topo, &ks), hr::Ok);
  ASSERT_EQ(ks.calls.size(), 2u);
  EXPECT_EQ(ks.calls[0].property.Property.Set, XU_GUID_PRIMARY);
  EXPECT_EQ(ks.calls[1].property.Property.Set, XU_GUID_SECONDARY);
  EXPECT_EQ(channel.nodeId(), 0u);
  // Later requests keep the set that answered.
  std::uint8_t byte = 0;
  channel.SetControl(XU_REG_DATA, 1, &byte);
  EXPECT_EQ(ks.calls.back().property.Property.Set, XU_GUID_SECONDARY);

  // Any other failure of the primary probe moves to the next node directly.
  FakeKsControl ks2([](const KSP_NODE& p, std::uint8_t*, std::uint32_t, std::uint32_t*) {
    return p.NodeId == 0 ? hr::NotFound : hr::Ok;
  });
  CXuChannel channel2;
  channel2.setMode(XU_MODE_KS);
  EXPECT_EQ(channel2.FindExtensionUnit(&topo, &ks2), hr::Ok);
  ASSERT_EQ(ks2.calls.size(), 2u);
  EXPECT_EQ(ks2.calls[0].property.NodeId, 0u);
  EXPECT_EQ(ks2.calls[1].property.NodeId, 1u);
  EXPECT_EQ(ks2.calls[1].property.Property.Set, XU_GUID_PRIMARY);
}

TEST(FindExtensionUnitTest, LowerOfTwoAnsweringNodesIsBound) {
  FakeKsControl ks;
  FakeTopology topo({kOtherNode, kKsNodeTypeDevSpecific, kKsNodeTypeDevSpecific});
  CXuChannel channel;
  channel.setMode(XU_MODE_KS);
  EXPECT_EQ(channel.FindExtensionUnit(&topo, &ks), hr::Ok);
  EXPECT_EQ(channel.nodeId(), 1u);
  EXPECT_EQ(ks.calls.size(), 1u);
}

TEST(FindExtensionUnitTest, NoAnsweringNodeYieldsOne) {
  FakeKsControl ks([](const KSP_NODE&, std::uint8_t*, std::uint32_t, std::uint32_t*) {
    return hr::SetNotFound;
  });
  FakeTopology topo({kKsNodeTypeDevSpecific, kKsNodeTypeDevSpecific});
  CXuChannel channel;
  channel.setMode(XU_MODE_KS);
  EXPECT_EQ(channel.FindExtensionUnit(&topo, &ks), 1);
  EXPECT_EQ(ks.calls.size(), 4u);  // primary and secondary on each node
  // Without a KS control the probe itself is E_POINTER: not found.
  CXuChannel channel2;
  channel2.setMode(XU_MODE_KS);
  EXPECT_EQ(channel2.FindExtensionUnit(&topo, nullptr), 1);
}

}  // namespace
}  // namespace qv
