#include "app/nonblocking_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

namespace parlivo {

NonBlockingOutput::NonBlockingOutput(int fd, Private use) : fd_(fd) {
  struct stat status {};
  if (fd < 0 || ::fstat(fd, &status) != 0) {
    broken_ = true;
    return;
  }
  if (S_ISSOCK(status.st_mode)) {
    kind_ = Kind::Socket;
    return;
  }
  if (use == Private::IfPossible && (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode))) {
    // A terminal must not become this process's controlling terminal by
    // being opened again.
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    private_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (private_ >= 0) kind_ = Kind::Private;
  }
}

NonBlockingOutput::~NonBlockingOutput() {
  if (private_ >= 0) ::close(private_);
}

std::size_t NonBlockingOutput::Write(const char* data, std::size_t size) {
  if (broken_ || size == 0) return 0;
  ssize_t written = -1;
  switch (kind_) {
    case Kind::Socket: written = ::send(fd_, data, size, MSG_DONTWAIT); break;
    case Kind::Private: written = ::write(private_, data, size); break;
    case Kind::Polled: {
      const short events = PollForRoom(0);
      // An error or hang-up without room never goes away: watching for
      // room would only spin.
      if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (events & POLLOUT) == 0) broken_ = true;
      if ((events & POLLOUT) == 0) return 0;
      written = ::write(fd_, data, std::min<std::size_t>(size, PIPE_BUF));
      break;
    }
  }
  if (written >= 0) return static_cast<std::size_t>(written);
  if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) broken_ = true;
  return 0;
}

bool NonBlockingOutput::WaitForRoom(int timeoutMs) const {
  return !broken_ && (PollForRoom(timeoutMs) & POLLOUT) != 0;
}

short NonBlockingOutput::PollForRoom(int timeoutMs) const {
  pollfd watched{Descriptor(), POLLOUT, 0};
  return ::poll(&watched, 1, timeoutMs) == 1 ? watched.revents : 0;
}

}  // namespace parlivo
