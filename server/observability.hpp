// What Python could observe of serving a request: the one place that decides whether a request
// can be served without running code of the host's (a hook, a method it overrides, a property or
// other descriptor on the class, a register value's finaliser). The event loop serves only what
// this says nobody can observe; the handler thread uses it to skip calls that would do nothing.
//
// Under the interpreter lock. Nothing here runs code of the host's unless it says so.
#pragma once

#include "server/holdbank.hpp"
#include "server/writable_ranges.hpp"

#include <chrono>

namespace holdbank {

// A hook is quiet when it is None or False: any other value is the host's to judge (even its
// truth may run its code), so a call that could fire it is made.
inline bool is_quiet_value(PyObject* hook) { return hook == Py_None || hook == Py_False; }
// Reads server.<hook>: runs the host's code when the attribute access does.
bool is_quiet_hook(PyObject* server, PyObject* hook);
// Whether calling server.<method> would do nothing: it is our own `fn`, and its hook is quiet.
bool is_quiet_method(PyObject* server, PyObject* instance_dict, PyObject* method, PyObject* fn, PyObject* hook);

// Whether a server class's attributes can be read without running code of the host's, as found
// lately. The walk over the class's dictionaries costs more than a whole request, so its answer
// is kept for a tenth of a second per class: a class changed at run time (a property put on it)
// is seen within that. Whoever keeps one lets go of it on a thread that may run the host's code.
struct ClassVerdict {
  host::Ref type;
  bool inert = false;
  std::chrono::steady_clock::time_point at;
};
// The verdict the handler threads share; kept for the process's life.
ClassVerdict& thread_verdict();

// Whether reading the server's attributes that serving reads runs no code of the host's.
bool plain_attribute_access(PyObject* server, ClassVerdict& seen = thread_verdict());

// What serving `server`'s requests would read and call, as it stands now.
struct ServerShape {
  host::Ref hr, lock;
  long long size = 0;
  bool plain = false;          // plain attribute access, a plain list, an int size, a plain lock
  bool read_quiet = false;     // our _on_read and CUE_OnRead quiet
  bool write_quiet = false;    // our _on_write and CUE_OnWrite quiet
  bool denied_quiet = false;   // our _on_write_denied and CUE_OnWriteDenied quiet
  bool ranges_native = false;  // our _is_writable over plain ranges, read into `ranges`

  // Whether no request at all could be observed (a register's value aside, which is looked at
  // when it is read or replaced).
  bool unobservable() const { return plain && read_quiet && write_quiet && denied_quiet && ranges_native; }
};

// Fills `out` (and `ranges`); never raises: a server whose attributes cannot be read (the host
// deleted one, say) is shaped as not plain, and the handler thread meets the same error on its
// request. `out` must be fresh (default-made).
void read_shape(PyObject* server, ClassVerdict& seen, ServerShape& out, WritableRanges& ranges);

// Whether nothing about serving a request of `server` could be observed right now, so the event
// loop may serve its connections.
bool unobservable(PyObject* server);

}  // namespace holdbank
