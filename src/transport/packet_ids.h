#pragma once
// Packet IDs of the chat protocol. Directions: C->S client to server,
// S->C server to client. IDs 0, 3 and 13 are never sent and have no meaning.

#include <cstdint>

namespace parlivo {

enum PacketId : std::int32_t {
  pidNeedMoreData = 1,         // C->S, payload not read
  pidNewStream = 2,            // C->S, StreamSize int32 then DataInfo text
  pidDenyStream = 4,           // both, no payload
  pidAcceptStream = 5,         // both, no payload
  pidStopReceivingStream = 6,  // C->S, payload not read
  pidStopSendingStream = 7,    // C->S, payload not read
  pidMessage = 8,              // both, encoded chat text
  pidPing = 9,                 // both, no payload
  pidPong = 10,                // both, no payload
  pidRegisterUser = 11,        // C->S, two strings: user name, room
  pidConnected = 12,           // S->C, greeting after accept
  pidDisconnect = 14,          // S->C, please leave
  pidKick = 15,                // S->C, you are kicked
  pidSameUserName = 16,        // S->C, registration refused: name in use
  pidAccessDenied = 17,        // S->C, registration refused by the application
  pidAccessGranted = 18,       // S->C, registration accepted
  pidStreamData = 19,          // C->S, a chunk of stream bytes
  pidStreamReceived = 20,      // both, a stream is complete
  pidUserList = 21,            // S->C, roster text: names each followed by CR LF
  pidUserJoined = 22,          // S->C, a user name
  pidUserLeft = 23,            // S->C, a user name
  pidPrivateData = 24,         // C->S: name length int32, name, data; S->C: data only
};

// The highest ID the protocol defines.
inline constexpr std::int32_t kLastPacketId = pidPrivateData;

}  // namespace parlivo
