#pragma once
// A fake camera stack for discovery and register-level tests: video input
// devices with their filters, topologies and private interfaces, each
// reaching a FakeChip, a register-level model of the camera chip with an SPI
// master and a small serial flash. Every interface handed out is counted
// while alive, so a test can check that nothing leaks.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/camera_stack.h"
#include "platform/device_registry.h"
#include "platform/os_services.h"
#include "tests/support/fake_os.h"

namespace qv::test {

// ---- The chip ----------------------------------------------------------------

class FakeChip {
 public:
  // Registers and behaviour.
  std::uint8_t chipId = 0x8A;
  std::int32_t csAssert = 0;  // value of 0x2025 that selects the flash
  Guid xuSet{0x63610682, 0x5070, 0x49AB, {0xB8, 0xCC, 0xB3, 0x85, 0x5E, 0x8D, 0x22, 0x1D}};
  std::uint32_t busyPollsPerByte = 0;  // busy reads after each TX write
  bool spiBusyStuck = false;
  std::uint8_t status = 0x00;
  std::uint32_t wipPollsAfterWrite = 1;  // status reads with WIP set after program/status write
  bool wipStuck = false;
  std::uint8_t rems[3] = {0xC8, 0x05, 0x00};  // 0x90
  std::uint8_t res[3] = {0x05, 0x05, 0x05};   // 0xAB
  std::uint8_t rdid[3] = {0xC8, 0x40, 0x10};  // 0x9F
  std::uint8_t xuIdReply[3] = {0x11, 0x22, 0x33};
  std::uint32_t flashDataLength = 4096;
  // The filter's pin factories (KSPROPSETID_Pin, never counted as requests):
  // `pinCategories` in pin order; how many instances of the capture pin
  // exist (another program streaming); false: the properties are not
  // supported (ERROR_NOT_FOUND).
  bool pinProperties = true;
  std::vector<Guid> pinCategories = {kPinNameVideoCapture};
  std::uint32_t captureInstances = 0;
  std::vector<std::string> pinRequests;  // "CTYPES 0", "CATEGORY 1", "INSTANCES 0"

  // Faults: requests numbered from 1.
  std::uint32_t failFrom = 0;   // 0: none
  std::uint32_t failCount = 0;  // how many from failFrom fail
  HResult failResult = static_cast<HResult>(0x8007001Fu);
  std::uint32_t unplugAfter = 0;  // 0: never

  FakeClock* clock = nullptr;  // advanced once per request
  std::uint64_t microsecondsPerRequest = 500;

  // What happened.
  std::vector<std::string> trace;  // "SET 2 20 20", "GET 3 1 00", "LEN 15 4096"
  std::uint32_t requests = 0;
  std::vector<std::vector<std::uint8_t>> programs;  // page programs: addr(3) + data
  std::vector<std::uint8_t> statusWrites;
  std::map<std::uint16_t, std::uint8_t> regs;

  // One extension-unit request; `data` is the SET payload or GET buffer.
  HResult request(std::uint32_t selector, char kind, std::uint8_t* data, std::uint32_t length,
                  std::uint32_t* lengthOut) {
    ++requests;
    if (clock != nullptr) clock->tick(microsecondsPerRequest);
    HResult fault = hr::Ok;
    if (unplugAfter != 0 && requests > unplugAfter) fault = hr::DeviceNotConnected;
    if (failFrom != 0 && requests >= failFrom && requests < failFrom + failCount)
      fault = failResult;
    std::string line = kind == 'S' ? "SET " : kind == 'G' ? "GET " : "LEN ";
    line += std::to_string(selector);
    if (failed(fault)) {
      char code[16];
      std::snprintf(code, sizeof(code), " !%08X", static_cast<unsigned>(fault));
      trace.push_back(line + code);
      return fault;
    }
    if (kind == 'L') {
      *lengthOut = selector == 15 ? flashDataLength : 1;
      trace.push_back(line + " " + std::to_string(*lengthOut));
      return hr::Ok;
    }
    if (kind == 'S') {
      for (std::uint32_t i = 0; i < length; ++i) appendHex(line, data[i]);
      trace.push_back(line);
      set(selector, data, length);
      return hr::Ok;
    }
    get(selector, data, length);
    line += ' ';
    line += std::to_string(length);
    for (std::uint32_t i = 0; i < length; ++i) appendHex(line, data[i]);
    trace.push_back(line);
    return hr::Ok;
  }

  // " XX" appended in place (a temporary "  " + text trips GCC 12's
  // -Wrestrict at -O3).
  static void appendHex(std::string& line, std::uint8_t b) {
    line += ' ';
    line += hex(b);
  }

  static std::string hex(std::uint8_t b) {
    char s[4];
    std::snprintf(s, sizeof(s), "%02X", b);
    return s;
  }

 private:
  void set(std::uint32_t selector, const std::uint8_t* data, std::uint32_t length) {
    if (selector == 2 && length >= 2) {
      address_ = static_cast<std::uint16_t>(data[0] | (data[1] << 8));
    } else if (selector == 3 && length >= 1) {
      writeRegister(address_, data[0]);
    }
  }
  void get(std::uint32_t selector, std::uint8_t* data, std::uint32_t length) {
    if (selector == 3 && length >= 1) {
      data[0] = readRegister(address_);
    } else if (selector == 23) {
      for (std::uint32_t i = 0; i < length && i < 3; ++i) data[i] = xuIdReply[i];
    } else if (selector == 2) {
      for (std::uint32_t i = 0; i < length; ++i) data[i] = 0;
    }
  }
  bool selected() const { return regs.count(0x2025) != 0 && regs.at(0x2025) == csAssert; }

  void writeRegister(std::uint16_t a, std::uint8_t v) {
    const bool wasSelected = selected();
    regs[a] = v;
    if (a == 0x2025) {
      if (!wasSelected && selected()) command_.clear();
      if (wasSelected && !selected()) endCommand();
    } else if (a == 0x2022) {
      busy_ = busyPollsPerByte;
      if (selected()) command_.push_back(v);
    }
  }
  std::uint8_t readRegister(std::uint16_t a) {
    if (a == 0x20FF) return chipId;
    if (a == 0x2021) {
      if (spiBusyStuck) return 1;
      if (busy_ > 0) {
        --busy_;
        return 1;
      }
      return 0;
    }
    if (a == 0x2023) {
      rx_ = clockIn();
      return 0;
    }
    if (a == 0x2024) return rx_;
    auto it = regs.find(a);
    return it == regs.end() ? 0 : it->second;
  }
  std::uint8_t clockIn() {
    if (!selected() || command_.empty()) return 0xFF;
    const std::uint8_t op = command_[0];
    const std::size_t index = replyIndex_++;
    if (op == 0x05) {
      if (wip_ > 0 || wipStuck) {
        if (wip_ > 0) --wip_;
        return static_cast<std::uint8_t>(status | 0x01);
      }
      return status;
    }
    const std::uint8_t* reply = op == 0x90 ? rems : op == 0xAB ? res : op == 0x9F ? rdid : nullptr;
    return reply != nullptr && index < 3 ? reply[index] : 0xFF;
  }
  void endCommand() {
    replyIndex_ = 0;
    if (command_.empty()) return;
    const std::uint8_t op = command_[0];
    if (op == 0x06 || op == 0x50) writeEnable_ = true;
    if (op == 0x01 && command_.size() >= 2 && writeEnable_) {
      status = command_[1];
      statusWrites.push_back(command_[1]);
      writeEnable_ = false;
      wip_ = wipPollsAfterWrite;
    }
    if (op == 0x02 && command_.size() >= 4 && writeEnable_) {
      programs.emplace_back(command_.begin() + 1, command_.end());
      writeEnable_ = false;
      wip_ = wipPollsAfterWrite;
    }
    command_.clear();
  }

  std::uint16_t address_ = 0;
  std::uint32_t busy_ = 0;
  std::uint8_t rx_ = 0xFF;
  std::vector<std::uint8_t> command_;
  std::size_t replyIndex_ = 0;
  bool writeEnable_ = false;
  std::uint32_t wip_ = 0;
};

// ---- Interfaces on the chip ------------------------------------------------

struct LiveCount {
  int live = 0;
  int created = 0;
};

class Counted {
 public:
  explicit Counted(LiveCount& c) : c_(c) {
    ++c_.live;
    ++c_.created;
  }
  ~Counted() { --c_.live; }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;

 private:
  LiveCount& c_;
};

class ChipKsControl : public IKsControl, Counted {
 public:
  ChipKsControl(FakeChip& chip, LiveCount& c) : Counted(c), chip_(chip) {}
  HResult KsProperty(KSP_NODE* property, std::uint32_t propertyLength, void* data,
                     std::uint32_t dataLength, std::uint32_t* bytesReturned) override {
    if (propertyLength != sizeof(KSP_NODE)) return hr::Fail;
    if (property->Property.Set == kKsPropSetIdPin) {
      return pinProperty(*property, data, dataLength, bytesReturned);
    }
    if (!(property->Property.Set == chip_.xuSet)) {
      ++chip_.requests;
      chip_.trace.push_back((property->Property.Flags & kKsPropertyTypeSet ? "SET " : "GET ") +
                            std::to_string(property->Property.Id) + " !80070492");
      return hr::SetNotFound;
    }
    auto* bytes = static_cast<std::uint8_t*>(data);
    if ((property->Property.Flags & kKsPropertyTypeSet) != 0) {
      return chip_.request(property->Property.Id, 'S', bytes, dataLength, nullptr);
    }
    if (bytes == nullptr && dataLength == 0) {
      std::uint32_t length = 0;
      const HResult r = chip_.request(property->Property.Id, 'L', nullptr, 0, &length);
      if (failed(r)) return r;
      *bytesReturned = length;
      return hr::MoreData;
    }
    const HResult r = chip_.request(property->Property.Id, 'G', bytes, dataLength, nullptr);
    if (succeeded(r)) *bytesReturned = dataLength;
    return r;
  }

 private:
  HResult pinProperty(const KSP_NODE& p, void* data, std::uint32_t length,
                      std::uint32_t* bytesReturned) {
    static constexpr const char* kNames[] = {"?", "CTYPES", "?",         "?", "?", "?",
                                             "?", "?",      "INSTANCES", "?", "?", "CATEGORY"};
    chip_.pinRequests.push_back(std::string(p.Property.Id < 12 ? kNames[p.Property.Id] : "?") +
                                " " + std::to_string(p.NodeId));
    const HResult notFound = hr::NotFound;
    if (!chip_.pinProperties || p.Property.Flags != kKsPropertyTypeGet) return notFound;
    const auto answer = [&](const void* value, std::uint32_t size) {
      if (length < size || data == nullptr) return hr::MoreData;
      std::memcpy(data, value, size);
      *bytesReturned = size;
      return hr::Ok;
    };
    const auto pins = static_cast<std::uint32_t>(chip_.pinCategories.size());
    if (p.Property.Id == kKsPropertyPinCTypes) return answer(&pins, 4);
    if (p.NodeId >= pins) return notFound;
    if (p.Property.Id == kKsPropertyPinCategory) {
      return answer(&chip_.pinCategories[p.NodeId], sizeof(Guid));
    }
    if (p.Property.Id == kKsPropertyPinGlobalCInstances) {
      const bool capture = chip_.pinCategories[p.NodeId] == kPinNameVideoCapture;
      const KsPinCInstances instances{1, capture ? chip_.captureInstances : 0};
      return answer(&instances, sizeof(instances));
    }
    return notFound;
  }

  FakeChip& chip_;
};

class ChipTopology : public IKsTopologyInfo, Counted {
 public:
  ChipTopology(std::vector<Guid> nodes, LiveCount& c) : Counted(c), nodes_(std::move(nodes)) {}
  HResult get_NumNodes(std::uint32_t* count) override {
    *count = static_cast<std::uint32_t>(nodes_.size());
    return hr::Ok;
  }
  HResult get_NodeType(std::uint32_t index, Guid* type) override {
    if (index >= nodes_.size()) return hr::Fail;
    *type = nodes_[index];
    return hr::Ok;
  }

 private:
  std::vector<Guid> nodes_;
};

// The private interface: decodes request blocks and answers on the chip.
class ChipVendorXuAccess : public IVendorXuAccess, Counted {
 public:
  ChipVendorXuAccess(FakeChip& chip, LiveCount& c, std::vector<std::vector<std::uint8_t>>& blocks)
      : Counted(c), chip_(chip), blocks_(blocks) {}
  HResult SendRequest(std::uint32_t command, std::uint8_t* block) override {
    if (command != 35) return hr::Fail;
    const std::uint16_t length = static_cast<std::uint16_t>(block[0] | (block[1] << 8));
    blocks_.emplace_back(block, block + 4 + (block[2] == 0x01 ? length : 4));
    pendingCode_ = block[2];
    pendingSelector_ = block[3];
    pendingLength_ = length;
    if (block[2] == 0x01) return chip_.request(block[3], 'S', block + 4, length, nullptr);
    return hr::Ok;
  }
  HResult ReadReply(std::uint32_t command, std::uint8_t* buffer) override {
    if (command != 35) return hr::Fail;
    if (pendingCode_ == 0x85) {
      std::uint32_t length = 0;
      const HResult r = chip_.request(pendingSelector_, 'L', nullptr, 0, &length);
      if (succeeded(r)) {
        buffer[0] = static_cast<std::uint8_t>(length & 0xFF);
        buffer[1] = static_cast<std::uint8_t>(length >> 8);
      }
      return r;
    }
    if (pendingCode_ == 0x81)
      return chip_.request(pendingSelector_, 'G', buffer, pendingLength_, nullptr);
    return hr::Fail;
  }

 private:
  FakeChip& chip_;
  std::vector<std::vector<std::uint8_t>>& blocks_;
  std::uint8_t pendingCode_ = 0;
  std::uint8_t pendingSelector_ = 0;
  std::uint16_t pendingLength_ = 0;
};

// ---- Devices and the stack ---------------------------------------------------

inline constexpr Guid kFakeOtherNode = {0xABCDEF01, 0x2, 0x3, {9, 8, 7, 6, 5, 4, 3, 2}};
inline constexpr Guid kFakeXuNode = {
    0x941C7AC0, 0xC559, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};

struct FakeDevice {
  std::string path = "\\\\?\\usb#vid_04f2&pid_b5bd&mi_00#6&1a2b3c4d&0&0000#{65e8773d}";
  bool ks = true;
  bool topology = true;
  std::vector<Guid> nodes{kFakeXuNode};
  bool privateInterface = false;
  bool bindFilterFails = false;
  bool bindStorageFails = false;
  bool pathReadFails = false;
  bool pathReadFailsAfterWriting = false;  // a backend that writes the text, then fails
  std::shared_ptr<FakeChip> chip = std::make_shared<FakeChip>();
};

struct StackCounts {
  LiveCount monikerEnum, moniker, filter, bag, ks, topology, privateInterface;
  int coInitialize = 0;
  int coUninitialize = 0;
  int privateQueries = 0;
  bool anyLive() const {
    return monikerEnum.live || moniker.live || filter.live || bag.live || ks.live ||
           topology.live || privateInterface.live;
  }
};

class FakeCameraStack : public ICameraStack {
 public:
  std::vector<FakeDevice> devices;
  HResult enumResult = hr::Ok;  // hr::False: empty category
  StackCounts counts;
  std::vector<std::vector<std::uint8_t>> privateBlocks;  // every private block sent

  HResult CoInitialize() override {
    ++counts.coInitialize;
    return hr::Ok;
  }
  void CoUninitialize() override { ++counts.coUninitialize; }

  class Bag : public IPropertyBag, Counted {
   public:
    Bag(const FakeDevice& d, LiveCount& c) : Counted(c), d_(d) {}
    HResult ReadDevicePath(char* ansi, std::size_t capacity) override {
      if (d_.pathReadFails) return hr::Fail;
      const std::size_t n = d_.path.size() + 1 < capacity ? d_.path.size() + 1 : capacity;
      std::memcpy(ansi, d_.path.c_str(), n);
      return d_.pathReadFailsAfterWriting ? hr::Fail : hr::Ok;
    }

   private:
    const FakeDevice& d_;
  };

  class Filter : public ICaptureFilter, Counted {
   public:
    Filter(FakeCameraStack& s, FakeDevice& d) : Counted(s.counts.filter), s_(s), d_(d) {}
    HResult QueryKsControl(std::unique_ptr<IKsControl>& out) override {
      if (!d_.ks) return hr::NoInterface;
      out = std::make_unique<ChipKsControl>(*d_.chip, s_.counts.ks);
      return hr::Ok;
    }
    HResult QueryTopology(std::unique_ptr<IKsTopologyInfo>& out) override {
      if (!d_.topology) return hr::NoInterface;
      out = std::make_unique<ChipTopology>(d_.nodes, s_.counts.topology);
      return hr::Ok;
    }
    HResult QueryVendorXuAccess(std::unique_ptr<IVendorXuAccess>& out) override {
      ++s_.counts.privateQueries;
      if (!d_.privateInterface) return hr::NoInterface;
      out = std::make_unique<ChipVendorXuAccess>(*d_.chip, s_.counts.privateInterface,
                                                 s_.privateBlocks);
      return hr::Ok;
    }
    // A stack that cannot hold the stream: the update goes on.
    HResult HoldStream(std::unique_ptr<IStreamHold>& out) override {
      out.reset();
      return hr::NotImpl;
    }

   private:
    FakeCameraStack& s_;
    FakeDevice& d_;
  };

  class Moniker : public IDeviceMoniker, Counted {
   public:
    Moniker(FakeCameraStack& s, FakeDevice& d) : Counted(s.counts.moniker), s_(s), d_(d) {}
    HResult BindToObject(std::unique_ptr<ICaptureFilter>& out) override {
      if (d_.bindFilterFails) return hr::Fail;
      out = std::make_unique<Filter>(s_, d_);
      return hr::Ok;
    }
    HResult BindToStorage(std::unique_ptr<IPropertyBag>& out) override {
      if (d_.bindStorageFails) return hr::Fail;
      out = std::make_unique<Bag>(d_, s_.counts.bag);
      return hr::Ok;
    }

   private:
    FakeCameraStack& s_;
    FakeDevice& d_;
  };

  class Enum : public IMonikerEnum, Counted {
   public:
    explicit Enum(FakeCameraStack& s) : Counted(s.counts.monikerEnum), s_(s) {}
    HResult Reset() override {
      next_ = 0;
      return hr::Ok;
    }
    HResult Next(std::unique_ptr<IDeviceMoniker>& out) override {
      if (next_ >= s_.devices.size()) return hr::False;
      out = std::make_unique<Moniker>(s_, s_.devices[next_++]);
      return hr::Ok;
    }

   private:
    FakeCameraStack& s_;
    std::size_t next_ = 0;
  };

  HResult CreateVideoInputEnum(std::unique_ptr<IMonikerEnum>& out) override {
    if (enumResult != hr::Ok) return enumResult;
    out = std::make_unique<Enum>(*this);
    return hr::Ok;
  }
};

// ---- The device registry ---------------------------------------------------------

struct FakeImageDevice {
  std::string instanceId;
  std::vector<std::uint8_t> hardwareIds;  // raw property data (multi-string)
  bool addressReadable = true;
  std::uint32_t address = 0;
  std::string grandparentId;  // empty: no grandparent

  static std::vector<std::uint8_t> multiString(const std::vector<std::string>& strings) {
    std::vector<std::uint8_t> data;
    for (const auto& s : strings) {
      data.insert(data.end(), s.begin(), s.end());
      data.push_back(0);
    }
    data.push_back(0);
    return data;
  }
};

class FakeDeviceRegistry : public IDeviceRegistry {
 public:
  std::vector<FakeImageDevice> devices;        // the Image setup class
  std::vector<FakeImageDevice> cameraDevices;  // the Camera setup class
  bool available = true;
  bool cameraClassAvailable = true;
  std::uint32_t endError = win32err::NoMoreItems;
  int lists = 0;
  int liveLists = 0;
  // Nodes: device i of the Image class is node 100 + i, its parent 200 + i,
  // its grandparent 300 + i; the Camera class's are 1000 higher.
  class List : public IImageDeviceList {
   public:
    List(FakeDeviceRegistry& r, const std::vector<FakeImageDevice>& devices, std::uint32_t endError,
         DevInst base)
        : r_(r), devices_(devices), endError_(endError), base_(base) {
      ++r_.liveLists;
    }
    ~List() override { --r_.liveLists; }
    bool EnumDeviceInfo(std::uint32_t index, DevInst& node, std::uint32_t& lastError) override {
      if (index >= devices_.size()) {
        lastError = endError_;
        return false;
      }
      node = base_ + 100 + index;
      return true;
    }
    bool GetDeviceId(DevInst node, char* buffer, std::uint32_t size) override {
      const std::string* id = nullptr;
      const DevInst n = node - base_;
      if (node < base_) return false;
      if (n >= 100 && n < 200) id = &devices_[n - 100].instanceId;
      if (n >= 300 && n < 400 && !devices_[n - 300].grandparentId.empty()) {
        id = &devices_[n - 300].grandparentId;
      }
      if (id == nullptr || id->size() + 1 > size) return false;
      std::memcpy(buffer, id->c_str(), id->size() + 1);
      return true;
    }
    bool GetRegistryProperty(DevInst node, DeviceRegistryProperty property, std::uint8_t* buffer,
                             std::uint32_t size, std::uint32_t& requiredSize,
                             std::uint32_t& lastError) override {
      const FakeImageDevice& d = devices_.at(node - base_ - 100);
      std::vector<std::uint8_t> data;
      if (property == DeviceRegistryProperty::Address) {
        if (!d.addressReadable) {
          lastError = 13;  // ERROR_INVALID_DATA
          return false;
        }
        for (int i = 0; i < 4; ++i) data.push_back(static_cast<std::uint8_t>(d.address >> (8 * i)));
      } else {
        data = d.hardwareIds;
      }
      ++r_.propertyReads;
      if (buffer == nullptr || size < data.size()) {
        requiredSize = static_cast<std::uint32_t>(data.size());
        lastError = win32err::InsufficientBuffer;
        return false;
      }
      std::memcpy(buffer, data.data(), data.size());
      requiredSize = static_cast<std::uint32_t>(data.size());
      return true;
    }
    bool GetParent(DevInst node, DevInst& parent) override {
      const DevInst n = node - base_;
      if (node >= base_ && n >= 100 && n < 300) {
        parent = node + 100;
        return true;
      }
      return false;
    }

   private:
    FakeDeviceRegistry& r_;
    const std::vector<FakeImageDevice>& devices_;
    std::uint32_t endError_;
    DevInst base_;
  };
  int propertyReads = 0;

  std::unique_ptr<IImageDeviceList> OpenPresentImageDevices() override {
    if (!available) return nullptr;
    ++lists;
    return std::make_unique<List>(*this, devices, endError, 0);
  }
  std::unique_ptr<IImageDeviceList> OpenPresentCameraDevices() override {
    if (!available || !cameraClassAvailable) return nullptr;
    ++lists;
    return std::make_unique<List>(*this, cameraDevices, win32err::NoMoreItems, 1000);
  }
};

}  // namespace qv::test
