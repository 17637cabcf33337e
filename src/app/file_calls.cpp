#include "app/file_calls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace parlivo {
namespace {

class PosixFileCalls final : public FileCalls {
 public:
  int open(const char* path, int flags, mode_t mode) override { return ::open(path, flags, mode); }
  ssize_t write(int fd, const void* data, std::size_t size) override { return ::write(fd, data, size); }
  int fsync(int fd) override { return ::fsync(fd); }
  int close(int fd) override { return ::close(fd); }
  int rename(const char* from, const char* to) override { return std::rename(from, to); }
};

}  // namespace

FileCalls& SystemFileCalls() {
  static PosixFileCalls calls;
  return calls;
}

}  // namespace parlivo
