#pragma once
// A growable in-memory byte stream with a current position.
//
// Every socket object keeps its receive buffer and its send queue in one of
// these, and each received packet's payload is handed to its handler as one.
// Reads and writes work at the position and move it; append() adds at the
// end and leaves the position alone, which is how a send queue grows behind
// bytes that still wait to be sent.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace parlivo {

class ByteStream {
 public:
  ByteStream() = default;
  explicit ByteStream(std::string_view bytes) : bytes_(bytes) {}

  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  std::size_t position() const { return position_; }
  // Positions past the end are clamped to the end.
  void setPosition(std::size_t position) { position_ = position < size() ? position : size(); }
  std::size_t remaining() const { return size() - position_; }

  const char* data() const { return bytes_.data(); }
  char* data() { return bytes_.data(); }
  std::string_view view() const { return bytes_; }
  // The bytes from the position to the end.
  std::string_view unread() const { return std::string_view(bytes_).substr(position_); }

  // Copies up to `count` bytes from the position into `out`; returns how
  // many were copied and moves the position past them.
  std::size_t read(void* out, std::size_t count);
  // Writes at the position, overwriting or growing, and moves past the bytes.
  void write(const void* in, std::size_t count);
  // Adds bytes at the end; the position stays where it is.
  void append(const void* in, std::size_t count) { bytes_.append(static_cast<const char*>(in), count); }
  // Replaces the whole content and sets the position to 0.
  void assign(const void* in, std::size_t count);

  // Grows (with zero bytes) or shrinks the stream; the position is clamped.
  void resize(std::size_t size);
  // Drops the first `count` bytes; the position moves back with the content.
  void eraseFront(std::size_t count);
  // Gives back the memory of a stream that holds little but once held much:
  // when its storage is above `keep` bytes and its content fits in `keep`.
  void trim(std::size_t keep) {
    if (bytes_.capacity() > keep && bytes_.size() <= keep) bytes_.shrink_to_fit();
  }
  // Empties the stream: size 0, position 0.
  void clear() {
    bytes_.clear();
    position_ = 0;
  }

 private:
  std::string bytes_;
  std::size_t position_ = 0;
};

}  // namespace parlivo
