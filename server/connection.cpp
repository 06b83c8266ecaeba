// What a connection's parties share beyond its record: the socket object's state, and the error a
// loop's ending stands for.
#include "server/connection.hpp"
#include "server/holdbank.hpp"

using host::Ref;

namespace holdbank {

bool socket_closed(PyObject* sock) {
  // A socket a handler thread holds open is only marked closed by close().
  Ref marked = Ref::steal_or_null(PyObject_GetAttr(sock, M._closed));
  if (!marked)
    PyErr_Clear();
  else if (marked.get() == Py_True)
    return true;
  Ref no = host::call_method(sock, M.fileno);
  return host::as_long_long(no.get()) < 0;
}

void LoopEnding::set_error() {
  const Kind k = std::exchange(kind, Kind::None);
  switch (k) {
    case Kind::Errno:
      host::set_errno_error(err);
      break;
    case Kind::SocketError:
      host::set_socket_error(err);
      break;
    case Kind::Malformed:
      PyErr_SetString(M.struct_error, message);
      break;
    case Kind::Python:
      error->restore();
      error.reset();
      break;
    case Kind::None:
      PyErr_SetString(PyExc_SystemError, "no error to raise");
      break;
  }
}

}  // namespace holdbank
