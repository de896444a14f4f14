#include "sim_host.h"

#include <algorithm>

namespace qv::sim::test {

const std::array<std::array<std::uint8_t, 13>, 7> kTables = {{
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x00},
    {0x03, 0xFF, 0x05, 0x06, 0x04, 0x20, 0x52, 0x60, 0x02, 0xAF, 0x50, 0x01, 0x01},
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0xD7, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x00},
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x00},
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x00},
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x00},
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x02},
}};

std::unique_ptr<SimSession> openScene(const std::string& text, const std::string& baseDir) {
  std::string error;
  auto session = SimSession::OpenText(text, baseDir, "scene.json", error);
  EXPECT_NE(session, nullptr) << error;
  return session;
}

Host::Host(SimSession& session, std::size_t index, bool usePrivate, std::uint32_t node, Guid set)
    : session_(session), index_(index), private_(usePrivate) {
  EXPECT_GE(session.cameras().CoInitialize(), 0);
  EXPECT_EQ(session.cameras().CreateVideoInputEnum(enum_), hr::Ok);
  EXPECT_EQ(enum_->Reset(), hr::Ok);
  for (std::size_t i = 0; i <= index; ++i) EXPECT_EQ(enum_->Next(moniker_), hr::Ok);
  EXPECT_EQ(moniker_->BindToObject(filter_), hr::Ok);
  if (usePrivate) {
    EXPECT_EQ(filter_->QueryVendorXuAccess(xu_), hr::Ok);
  } else {
    EXPECT_EQ(filter_->QueryKsControl(ks_), hr::Ok);
  }
  property_.Property.Set = set;
  property_.NodeId = node;
  const std::uint8_t family = model().family();
  csAssert_ = (family == 102 || family == 103) ? 2 : 0;
}

Host::~Host() {
  ks_.reset();
  xu_.reset();
  filter_.reset();
  moniker_.reset();
  enum_.reset();
  session_.cameras().CoUninitialize();
}

HResult Host::set(std::uint32_t selector, std::vector<std::uint8_t> data) {
  if (private_) {
    block_.fill(0);
    block_[0] = static_cast<std::uint8_t>(data.size());
    block_[1] = static_cast<std::uint8_t>(data.size() >> 8);
    block_[2] = kUvcSetCur;
    block_[3] = static_cast<std::uint8_t>(selector);
    std::copy(data.begin(), data.end(), block_.begin() + 4);
    return xu_->SendRequest(kVendorXuCommand, block_.data());
  }
  property_.Property.Id = selector;
  property_.Property.Flags = kKsPropertyTypeSet | kKsPropertyTypeTopology;
  std::uint32_t returned = 0;
  return ks_->KsProperty(&property_, sizeof property_, data.data(),
                         static_cast<std::uint32_t>(data.size()), &returned);
}

HResult Host::get(std::uint32_t selector, std::uint32_t length, std::vector<std::uint8_t>& out) {
  out.assign(length, 0xEE);
  if (private_) {
    block_.fill(0);
    block_[0] = static_cast<std::uint8_t>(length);
    block_[1] = static_cast<std::uint8_t>(length >> 8);
    block_[2] = kUvcGetCur;
    block_[3] = static_cast<std::uint8_t>(selector);
    EXPECT_EQ(xu_->SendRequest(kVendorXuCommand, block_.data()), hr::Ok);
    std::vector<std::uint8_t> reply(kXuReplySize, 0xEE);
    const HResult result = xu_->ReadReply(kVendorXuCommand, reply.data());
    std::copy_n(reply.begin(), length, out.begin());
    return result;
  }
  property_.Property.Id = selector;
  property_.Property.Flags = kKsPropertyTypeGet | kKsPropertyTypeTopology;
  std::uint32_t returned = 0;
  return ks_->KsProperty(&property_, sizeof property_, out.data(), length, &returned);
}

HResult Host::len(std::uint32_t selector, std::uint32_t& length) {
  if (private_) {
    block_.fill(0);
    block_[0] = 2;
    block_[2] = kUvcGetLen;
    block_[3] = static_cast<std::uint8_t>(selector);
    EXPECT_EQ(xu_->SendRequest(kVendorXuCommand, block_.data()), hr::Ok);
    block_[4] = block_[5] = block_[6] = block_[7] = 0;
    const HResult result = xu_->ReadReply(kVendorXuCommand, block_.data());
    if (result >= 0) length = block_[0] | (block_[1] << 8);
    return result;
  }
  property_.Property.Id = selector;
  property_.Property.Flags = kKsPropertyTypeGet | kKsPropertyTypeTopology;
  std::uint32_t returned = 0;
  const HResult result = ks_->KsProperty(&property_, sizeof property_, nullptr, 0, &returned);
  if (result == hr::MoreData) {
    length = returned;
    return hr::Ok;
  }
  return result;
}

void Host::writeReg(std::uint16_t address, std::uint8_t value) {
  set(2, {static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8)});
  set(3, {value});
}

std::uint8_t Host::readReg(std::uint16_t address) {
  set(2, {static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8)});
  std::vector<std::uint8_t> out;
  get(3, 1, out);
  return out[0];
}

void Host::select() { writeReg(kRegSpiCs, csAssert_); }
void Host::release() { writeReg(kRegSpiCs, static_cast<std::uint8_t>(2 - csAssert_)); }

void Host::send(std::uint8_t byte) {
  writeReg(kRegSpiTx, byte);
  for (int i = 0; i < 1000 && readReg(kRegSpiBusy) != 0; ++i) {
  }
}

std::uint8_t Host::receive() {
  readReg(kRegSpiRx0);
  for (int i = 0; i < 1000 && readReg(kRegSpiBusy) != 0; ++i) {
  }
  return readReg(kRegSpiRx1);
}

void Host::command(std::initializer_list<std::uint8_t> bytes) {
  writeReg(kRegSpiCtrl, 0x80);
  select();
  for (std::uint8_t b : bytes) send(b);
  release();
}

std::uint8_t Host::readStatus() {
  writeReg(kRegSpiCtrl, 0x80);
  select();
  send(0x05);
  const std::uint8_t status = receive();
  release();
  return status;
}

std::uint8_t Host::waitReady(int limit) {
  std::uint8_t status = 0xFF;
  for (int i = 0; i < limit; ++i) {
    status = readStatus();
    if ((status & 1) == 0) break;
  }
  return status;
}

void Host::writeStatus(std::uint8_t value, bool ewsr) {
  command({static_cast<std::uint8_t>(ewsr ? 0x50 : 0x06)});
  command({0x01, value});
}

void Host::pageProgram(std::uint32_t address, const std::vector<std::uint8_t>& data) {
  command({0x06});
  writeReg(kRegSpiCtrl, 0x80);
  select();
  send(0x02);
  send(static_cast<std::uint8_t>(address >> 16));
  send(static_cast<std::uint8_t>(address >> 8));
  send(static_cast<std::uint8_t>(address));
  for (std::uint8_t b : data) send(b);
  release();
}

std::array<std::uint8_t, 3> Host::readId(std::uint8_t cmd) {
  writeReg(kRegSpiCtrl, 0x80);
  select();
  send(cmd);
  if (cmd != 0x9F) {
    send(0);
    send(0);
    send(0);
  }
  std::array<std::uint8_t, 3> id{};
  for (auto& b : id) b = receive();
  release();
  return id;
}

void Host::loadTable(const std::array<std::uint8_t, 13>& table) {
  for (std::uint8_t i = 1; i <= 12; ++i) {
    set(7, {i});
    set(8, {table[i - 1]});
  }
  set(16, {table[12]});
}

std::vector<std::string> linesFrom(const SimSession& session, std::size_t from) {
  const auto& lines = session.traceLines();
  return std::vector<std::string>(
      lines.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines.size())), lines.end());
}

}  // namespace qv::sim::test
