#pragma once
// The fixed English texts of socket error codes, as the operator reads them.

#include <string_view>

#include "transport/platform/winsock_errors.h"

namespace parlivo {

inline constexpr std::string_view kUnknownSocketErrorText = "Unkown error was encountered!";

// The text for a Winsock error code; kUnknownSocketErrorText for any code
// that has none.
std::string_view SocketErrorText(int code);

}  // namespace parlivo
