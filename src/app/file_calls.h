#pragma once
// FileCalls: the system calls that replace a file on disk (see
// ini_file.h), behind an interface so that a test can see their order -- the
// new file must be synced before it is renamed over the old one, or a power
// cut leaves an empty file -- and make one of them fail.
//
// Every call behaves as its POSIX namesake: -1 with errno set on failure.
// SystemFileCalls() is the real one and lives as long as the program.

#include <sys/types.h>

#include <cstddef>

namespace parlivo {

class FileCalls {
 public:
  virtual ~FileCalls() = default;
  virtual int open(const char* path, int flags, mode_t mode) = 0;
  virtual ssize_t write(int fd, const void* data, std::size_t size) = 0;
  virtual int fsync(int fd) = 0;
  virtual int close(int fd) = 0;
  virtual int rename(const char* from, const char* to) = 0;
};

FileCalls& SystemFileCalls();

}  // namespace parlivo
