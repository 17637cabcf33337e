#pragma once
// How a stop hands the last queued bytes (the request to leave above all)
// to the connections it closes. The sockets are waited on directly, not
// through the event loop: the stop must end within its bound whatever the
// loop does, and no handler of a connection may run meanwhile.
//
// The wait ends when everything went out, when kStopDrainMs have passed
// since it began, or when none of the sockets could take a byte for
// kStopStallMs (the rest do not read). A peer that takes a little now and
// then keeps it going, but never past kStopDrainMs. Time comes from the
// clock passed in; the system's wait is the only thing that really waits.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "transport/platform/socket_api.h"

namespace parlivo {

class TDadideVUDServerClient;

inline constexpr std::int64_t kStopDrainMs = 3000;
inline constexpr std::int64_t kStopStallMs = 250;

// Sends what waits for each of `closing` as its socket takes it, within the
// bounds above; a connection whose send fails gets nothing more. Send
// errors are reported through the connections' error route, whose handler
// may destroy their owner: the drain then ends at once and returns false
// (`alive` has expired).
bool DrainAtStop(SocketApi& api, const std::function<std::int64_t()>& clock,
                 const std::vector<TDadideVUDServerClient*>& closing, const std::weak_ptr<const void>& alive);

}  // namespace parlivo
