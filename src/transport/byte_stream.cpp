#include "transport/byte_stream.h"

#include <algorithm>
#include <cstring>

namespace parlivo {

std::size_t ByteStream::read(void* out, std::size_t count) {
  const std::size_t n = std::min(count, remaining());
  if (n > 0) std::memcpy(out, bytes_.data() + position_, n);
  position_ += n;
  return n;
}

void ByteStream::write(const void* in, std::size_t count) {
  if (count == 0) return;
  if (position_ + count > bytes_.size()) bytes_.resize(position_ + count);
  std::memcpy(bytes_.data() + position_, in, count);
  position_ += count;
}

void ByteStream::assign(const void* in, std::size_t count) {
  bytes_.assign(static_cast<const char*>(in), count);
  position_ = 0;
}

void ByteStream::resize(std::size_t size) {
  bytes_.resize(size);
  position_ = std::min(position_, size);
}

void ByteStream::eraseFront(std::size_t count) {
  count = std::min(count, bytes_.size());
  if (count == 0) return;
  bytes_.erase(0, count);
  position_ = position_ > count ? position_ - count : 0;
}

}  // namespace parlivo
