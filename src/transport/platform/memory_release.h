#pragma once
// Gives memory the process freed back to the system. After a load ends the
// allocator keeps what the departed clients used, and the server would look
// (and be, to the machine) as large as at its peak for good.

namespace parlivo {

void ReturnFreedMemory();

}  // namespace parlivo
