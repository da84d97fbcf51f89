// Helpers shared by the fuzz targets: a check that survives release builds
// and a little-endian reader over the input that pads with zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);    \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Done() const { return at_ >= size_; }
  std::uint32_t U8() { return at_ < size_ ? data_[at_++] : 0u; }
  std::uint32_t U16() { return U8() | U8() << 8; }
  std::uint32_t U32() { return U16() | U16() << 16; }
  // A length-prefixed (4 bytes) text, cut to `limit` and to what is left.
  std::string Text(std::size_t limit) {
    std::size_t n = U32() % (limit + 1);
    n = n < size_ - at_ ? n : size_ - at_;
    std::string s(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};
