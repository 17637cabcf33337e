#pragma once
// NonBlockingOutput: writes to a descriptor (standard output, as a rule)
// without ever waiting for whoever reads it.
//
// The headless server writes its log on its one thread, the event loop's.
// A blocking write to a pipe or terminal that nobody reads (a paused
// terminal, a pager left alone) would stop everything else: no greeting,
// no ping. Setting O_NONBLOCK on the descriptor is no way out: the flag
// belongs to the open file description, which the shell and every other
// program on that terminal or pipe share, and they would start failing
// with EAGAIN. A writer thread would only move the stuck write elsewhere,
// where nothing can end it at exit. So each kind of descriptor gets a write
// that cannot wait, of its own:
//
// - a socket (the journal under systemd): send with MSG_DONTWAIT, a
//   non-blocking call without touching any flag;
// - a pipe or terminal: a second open file description of the same pipe or
//   terminal (opened through /proc/self/fd), non-blocking and private, so
//   the write takes what fits and returns;
// - anything else (a regular file), or when that open fails: poll first,
//   then write at most PIPE_BUF bytes, which a pipe that poll calls
//   writable takes whole at once.
//
// The caller keeps its descriptor; a private one is closed with this object.

#include <cstddef>

namespace parlivo {

class NonBlockingOutput {
 public:
  enum class Private { IfPossible, Never };  // Never: tests of the poll path

  explicit NonBlockingOutput(int fd, Private use = Private::IfPossible);
  ~NonBlockingOutput();
  NonBlockingOutput(const NonBlockingOutput&) = delete;
  NonBlockingOutput& operator=(const NonBlockingOutput&) = delete;

  // Writes what the output takes now of the `size` bytes at `data` and
  // returns how many it took: 0 when it has no room now or is broken.
  std::size_t Write(const char* data, std::size_t size);
  // True once a write failed for good (the descriptor is closed, the disk
  // full): nothing will be taken any more.
  bool Broken() const { return broken_; }
  // The descriptor to watch for room to write.
  int Descriptor() const { return private_ >= 0 ? private_ : fd_; }
  // Waits up to `timeoutMs` for room to write; false when none came (or
  // the output is broken).
  bool WaitForRoom(int timeoutMs) const;

 private:
  enum class Kind { Socket, Private, Polled };

  // poll's answer for room to write (revents), 0 when it timed out.
  short PollForRoom(int timeoutMs) const;

  int fd_;
  int private_ = -1;
  Kind kind_ = Kind::Polled;
  bool broken_ = false;
};

}  // namespace parlivo
