#pragma once
// The error type the transport raises: a socket error that no handler
// takes, misuse of a component ("Can not change Port while listening"), or
// a registration string that cannot be read. Raised errors never cross the
// event loop: the read guard swallows them or the central handler
// (unhandled_error.h) reports them.

#include <stdexcept>
#include <string>

namespace parlivo {

class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raised while reading structured data out of a payload.
class EReadError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace parlivo
