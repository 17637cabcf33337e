#pragma once
// EOutOfResources: raised when the platform refuses to create or remove a
// resource the program asked for, such as the shell refusing to add or
// remove the notification-area icon.

#include <stdexcept>

namespace parlivo {

class EOutOfResources : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace parlivo
