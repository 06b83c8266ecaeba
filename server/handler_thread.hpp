// What the rest of the server asks of the connections' handler threads.
#pragma once

#include "host/host.hpp"

namespace holdbank {

// CUF_DisconnectClient, right before it closes `sock`, under the interpreter lock and the bank
// lock: the connection is marked dropped (no request of it is executed and no hook is called for
// it from then on) and leaves its loop's readiness set while its descriptor is still open. False
// when `sock` is no connection being served.
bool drop_connection(PyObject* sock);

}  // namespace holdbank
