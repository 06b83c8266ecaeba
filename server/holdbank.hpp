// What the files of the Holdbank module share: the module's state (its objects and interned
// names), the bank lock guard, and the method definitions each file contributes to the classes.
#pragma once

#include "host/native_function.hpp"
#include "server/writable_ranges.hpp"

#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace holdbank {

// What the module's files share for as long as the module lives: filled once at import
// (holdbank_module.cpp), in this order, and never released (the module lives until the process
// ends). Each name is declared here once.
struct ModuleState {
  // the module itself (its namespace is the classes' globals) and what it binds
  PyObject *module, *module_name, *logger;
  PyObject *socket_module, *struct_module, *threading_module, *json_module, *os_module, *path_module,
      *stat_module;
  PyObject *open, *dump, *load;  // builtins.open, json.dump, json.load
  PyObject* struct_error;
  PyObject* fcntl_module;  // null where the system has no flock() (Windows)
  PyObject* plain_lock_type;  // type(threading.Lock())
  // attributes of the server object
  PyObject *size, *hr, *lock, *ro_ranges, *rw_ranges, *active_connections, *server_thread, *server_net,
      *default_backup_file;
  PyObject *CUE_OnConnect, *CUE_OnDisconnect, *CUE_OnRead, *CUE_OnWrite, *CUE_OnWriteDenied,
      *CUE_OnAccessDenied;
  PyObject *_allow_ip_list, *_allow_ip_active, *_user_on_connect, *_internal_security_check;
  // methods called by name, so a subclass that overrides them is honoured
  PyObject *_is_writable, *_on_read, *_on_write, *_on_write_denied, *_on_client_connect,
      *_on_client_disconnect, *CUF_REG_Read, *CUF_REG_Write, *CUF_REG_ReadSTR, *CUF_SaveToFile,
      *CUF_ListConnections, *CUF_DisconnectClient;
  // other names
  PyObject *_io_refs, *_closed, *_decref_socketios;  // what socket.makefile() uses to hold a socket open
  PyObject *acquire, *release, *append, *shutdown, *close, *shut_rdwr_name, *fileno, *owner, *request,
      *client_address, *server, *debug, *error, *warning, *serve_forever, *server_close, *start, *Lock,
      *Thread, *add, *keys, *locked, *listen, *split, *colon, *pack, *flush, *hex, *errno_name, *strerror_name,
      *dunder_init, *dunder_setattr, *dunder_dict, *dunder_mro, *CLASS_Holdbank, *CLASS_Holdbank_Secured;
  PyObject *UINT16, *INT16, *UINT32, *INT32, *FLOAT, *STRING;  // the kinds of CUF_REG_Dump
  PyObject *READ_WRITE, *READ_ONLY;                              // the sections of the backup file
  // constants
  PyObject *zero, *one, *two, *mask16;
  PyObject* no_wait;                    // (False,): acquire without waiting
  PyObject *text_kwargs, *dump_kwargs;  // encoding="utf-8"; indent=4, ensure_ascii=False
  // the classes, and our own methods, to recognise a server whose class and instance leave them as
  // they are
  PyObject *holdbank_class, *secured_class;
  PyObject *fn_is_writable, *fn_on_read, *fn_on_write, *fn_on_write_denied;
};
extern ModuleState M;

// Holds the server's `lock` for a scope. A thread that already holds it through one of these
// (a hook called under the lock that calls back into the server) proceeds without taking it
// again: the lock is not re-entrant and waiting for ourselves would freeze every master.
//
// The normal path calls release(); the destructor releases only for an error on its way out. A
// thread ended at interpreter exit unwinds without an error and without the interpreter lock:
// the lock is then left as it is, since releasing it would mean running Python. This guard is the
// one place of the server that tells the two apart (with host::ended_by_exit() for the rest).
class BankLock {
 public:
  explicit BankLock(PyObject* server);
  ~BankLock();
  BankLock(const BankLock&) = delete;
  BankLock& operator=(const BankLock&) = delete;
  void release();

 private:
  host::Ref lock_;
  host::Ref release_;  // the lock's bound release, looked up when it was acquired
  bool acquired_ = false;
  int uncaught_ = 0;  // errors already on their way out when the lock was taken
};

// Runs `f` holding the server's lock; returns what `f` returns.
template <class F>
auto under_lock(PyObject* server, F&& f) {
  BankLock guard(server);
  if constexpr (std::is_void_v<decltype(f())>) {
    f();
    guard.release();
  } else {
    auto result = f();
    guard.release();
    return result;
  }
}

// Whether `server.<name>` is our own function `fn`: neither the instance's __dict__ nor the
// class (or a subclass) replaces it. Serving then takes shortcuts that give the same result
// without going through Python (see observability.hpp).
bool is_own_method(PyObject* server, PyObject* name, PyObject* fn);
// The same against the instance's __dict__ fetched once (instance_dict()), for several names.
bool is_own_method_in(PyObject* server, PyObject* instance_dict, PyObject* name, PyObject* fn);
host::Ref instance_dict(PyObject* server);  // null when it has none

// What _is_writable answers for `reg`, computed without creating Python objects when the ranges
// are plain lists of (int, int) tuples.
bool ranges_allow(PyObject* server, std::uint32_t reg);

// The ranges as plain numbers, when they are exact lists of exact (int, int) tuples (false
// otherwise): the server's, or the two lists given.
bool native_ranges(PyObject* server, WritableRanges& out);
bool plain_ranges(PyObject* rw_list, PyObject* ro_list, WritableRanges& out);

// For the event loop, which must never wait for the bank lock: takes a plain threading.Lock only
// if nobody holds it (the interpreter lock is not let go), and gives it back.
bool try_lock_plain(PyObject* lock);
void unlock_plain(PyObject* lock);

// The registry's entry for `full_address`, removed only while it still names `sock`: a master that
// reconnected from the same address has an entry of its own by then. Takes the bank lock.
void remove_own_entry(PyObject* server, PyObject* full_address, PyObject* sock);

// For the scope of a connection's disconnect step, on its handler thread: the step removes the
// registry entry only while it names this socket (see remove_own_entry).
class DisconnectStep {
 public:
  explicit DisconnectStep(PyObject* sock);
  ~DisconnectStep();
  DisconnectStep(const DisconnectStep&) = delete;
  DisconnectStep& operator=(const DisconnectStep&) = delete;

 private:
  PyObject* saved_;
};

// Method definitions, in the files named after what they build.
// register_bank.cpp
extern const host::MethodDef kInit, kSetReadOnlyRange, kSetReadWriteRange, kIsWritable, kOnRead, kOnWrite,
    kOnWriteDenied, kRegRead, kRegWrite;
// connection_registry.cpp
extern const host::MethodDef kOnClientConnect, kOnClientDisconnect, kListConnections, kDisconnectClient;
// backup_file.cpp
extern const host::MethodDef kSaveToFile, kLoadFromFile;
// typed_views.cpp
extern const host::MethodDef kRegWriteStr, kRegReadStr, kRegDump;
// server_lifecycle.cpp
extern const host::MethodDef kOpen, kClose;
// handler_thread.cpp
extern const host::MethodDef kHandle;
// allowlist_server.cpp
extern const host::MethodDef kSecuredInit, kSecuredSetattr, kSecurityCheck, kAllowIpAdd, kAllowIpActive;

}  // namespace holdbank
