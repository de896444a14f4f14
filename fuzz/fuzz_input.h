#pragma once
// Reads a fuzzer's input as a sequence of fields: bytes, little-endian
// integers and length-prefixed blobs. Past the end every field reads as
// zero or empty, so every input, however short, is a complete case.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qv::fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }

  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

  std::uint16_t u16() {
    const std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | (byte() << 8));
  }

  std::uint32_t u32() {
    const std::uint32_t low = u16();
    return low | (static_cast<std::uint32_t>(u16()) << 16);
  }

  // A blob of up to 65535 bytes (a 16-bit length, then the bytes; cut short
  // at the end of the input).
  std::vector<std::uint8_t> blob() {
    const std::size_t length = u16();
    const std::size_t n =
        length < size_ - std::min(at_, size_) ? length : size_ - std::min(at_, size_);
    std::vector<std::uint8_t> bytes(data_ + std::min(at_, size_), data_ + std::min(at_, size_) + n);
    at_ += n;
    return bytes;
  }

  std::string text() {
    const std::vector<std::uint8_t> bytes = blob();
    return std::string(bytes.begin(), bytes.end());
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace qv::fuzz
