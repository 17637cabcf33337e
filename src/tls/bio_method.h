#pragma once
// OpenSSL's BIO interface over a socket reached by two plain functions: the
// server's goes through the sockets layer, the client's straight to the
// descriptor. Everything else a BIO may be asked is answered "not here".

#include <openssl/bio.h>

namespace parlivo {

using BioWrite = int (*)(BIO*, const char*, int);
using BioRead = int (*)(BIO*, char*, int);

// A new source/sink method; callers make one and keep it for the program's life.
inline BIO_METHOD* MakeBioMethod(const char* name, BioWrite write, BioRead read) {
  BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, name);
  BIO_meth_set_write(made, write);
  BIO_meth_set_read(made, read);
  BIO_meth_set_ctrl(made, [](BIO*, int command, long, void*) -> long { return command == BIO_CTRL_FLUSH ? 1 : 0; });
  BIO_meth_set_create(made, [](BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
  });
  return made;
}

}  // namespace parlivo
