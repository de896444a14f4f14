#pragma once
// Recording fakes of the extension-unit seam: a Kernel Streaming control, a
// topology and the driver's private interface. Each records what it was
// asked and answers through a replaceable handler.

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/camera_stack.h"

namespace qv::test {

// One KsProperty call as the driver saw it.
struct KsCall {
  KSP_NODE property;
  std::uint32_t propertyLength;
  bool dataNull;
  std::uint32_t dataLength;
  std::vector<std::uint8_t> data;  // the bytes handed in (SET) or written back (GET)
};

class FakeKsControl : public IKsControl {
 public:
  using Handler = std::function<HResult(const KSP_NODE&, std::uint8_t* data, std::uint32_t length,
                                        std::uint32_t* bytesReturned)>;

  explicit FakeKsControl(Handler handler = {}) : handler_(std::move(handler)) {}

  HResult KsProperty(KSP_NODE* property, std::uint32_t propertyLength, void* data,
                     std::uint32_t dataLength, std::uint32_t* bytesReturned) override {
    KsCall call{*property, propertyLength, data == nullptr, dataLength, {}};
    auto* bytes = static_cast<std::uint8_t*>(data);
    const bool isSet = (property->Property.Flags & kKsPropertyTypeSet) != 0;
    if (isSet && bytes != nullptr) call.data.assign(bytes, bytes + dataLength);
    // As a driver does: a GET fills the whole buffer unless the handler
    // says otherwise.
    if (bytesReturned != nullptr) *bytesReturned = isSet ? 0 : dataLength;
    HResult result = handler_ ? handler_(*property, bytes, dataLength, bytesReturned) : hr::Ok;
    if (!isSet && bytes != nullptr) call.data.assign(bytes, bytes + dataLength);
    calls.push_back(std::move(call));
    return result;
  }

  void setHandler(Handler handler) { handler_ = std::move(handler); }

  std::vector<KsCall> calls;

 private:
  Handler handler_;
};

class FakeTopology : public IKsTopologyInfo {
 public:
  explicit FakeTopology(std::vector<Guid> nodeTypes = {}) : nodeTypes(std::move(nodeTypes)) {}

  HResult get_NumNodes(std::uint32_t* count) override {
    ++numNodesCalls;
    if (failed(numNodesResult)) return numNodesResult;
    *count = static_cast<std::uint32_t>(nodeTypes.size());
    return hr::Ok;
  }
  HResult get_NodeType(std::uint32_t index, Guid* nodeType) override {
    nodeTypeQueries.push_back(index);
    if (index >= nodeTypes.size()) return hr::Fail;
    for (std::uint32_t bad : failingNodes) {
      if (bad == index) return hr::Fail;
    }
    *nodeType = nodeTypes[index];
    return hr::Ok;
  }

  std::vector<Guid> nodeTypes;
  std::vector<std::uint32_t> failingNodes;
  HResult numNodesResult = hr::Ok;
  int numNodesCalls = 0;
  std::vector<std::uint32_t> nodeTypeQueries;
};

// One call on the private interface, with the first bytes of the block as
// they were when handed over.
struct PrivateCall {
  enum Kind { Send, Read } kind;
  std::uint32_t command;
  std::vector<std::uint8_t> block;  // first kRecordedBytes bytes
};

class FakeVendorXuAccess : public IVendorXuAccess {
 public:
  static constexpr std::size_t kRecordedBytes = 16;
  using SendHandler = std::function<HResult(const std::uint8_t* block)>;
  using ReadHandler = std::function<HResult(std::uint8_t* buffer)>;

  HResult SendRequest(std::uint32_t command, std::uint8_t* block) override {
    calls.push_back({PrivateCall::Send, command, {block, block + kRecordedBytes}});
    return onSend ? onSend(block) : hr::Ok;
  }
  HResult ReadReply(std::uint32_t command, std::uint8_t* buffer) override {
    calls.push_back({PrivateCall::Read, command, {buffer, buffer + kRecordedBytes}});
    return onRead ? onRead(buffer) : hr::Ok;
  }

  SendHandler onSend;
  ReadHandler onRead;
  std::vector<PrivateCall> calls;
};

}  // namespace qv::test
