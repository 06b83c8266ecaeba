// The register bank of CLASS_Holdbank: construction, the read-only / read-write ranges and the
// write permission they give, the data-event dispatchers and the host's single-register access.
#include "server/holdbank.hpp"

#include <algorithm>
#include <exception>
#include <vector>

using host::Args;
using host::Ref;

namespace holdbank {

namespace {
// The locks this thread holds through BankLock, innermost last.
thread_local std::vector<PyObject*> t_held_locks;

// The bound acquire/release of the locks seen last: looking them up costs more than the calls.
// Each entry keeps its lock alive, so a pointer can never match a different object.
// Allocated once and never freed: the interpreter may be gone when static destructors run.
struct LockMethods {
  Ref lock, acquire, release, locked;
};
constexpr std::size_t kLockCacheSize = 8;
LockMethods* const g_lock_cache = new LockMethods[kLockCacheSize];
std::size_t g_lock_cache_next = 0;

const LockMethods& lock_methods(PyObject* lock) {
  for (std::size_t i = 0; i < kLockCacheSize; ++i)
    if (g_lock_cache[i].lock.get() == lock) return g_lock_cache[i];
  LockMethods fresh{Ref::borrow(lock), host::getattr(lock, M.acquire), host::getattr(lock, M.release),
                    Ref::steal_or_null(PyObject_GetAttr(lock, M.locked))};
  if (!fresh.locked) PyErr_Clear();
  LockMethods& slot = g_lock_cache[g_lock_cache_next++ % kLockCacheSize];
  slot = std::move(fresh);
  return slot;
}

// sys.is_finalizing(): whether the interpreter has stopped every other thread for good.
bool finalizing() {
  PyObject* is_finalizing = PySys_GetObject("is_finalizing");  // borrowed
  if (!is_finalizing) return false;
  Ref answer = Ref::steal_or_null(PyObject_CallNoArgs(is_finalizing));
  if (!answer) {
    PyErr_Clear();
    return false;
  }
  return answer.get() == Py_True;
}

bool held_by_this_thread(PyObject* lock) {
  return std::find(t_held_locks.begin(), t_held_locks.end(), lock) != t_held_locks.end();
}
}  // namespace

BankLock::BankLock(PyObject* server) : lock_(host::getattr(server, M.lock)) {
  if (held_by_this_thread(lock_.get())) return;
  const LockMethods& m = lock_methods(lock_.get());
  release_ = m.release;
  Ref acquire = m.acquire;  // the cache may be refilled by code the call runs
  if (host::exit_begun() && finalizing()) {
    // No other thread runs any more: a lock held now is held by one the exit stopped, and is never
    // released. Waiting for it would hang the exit (a finaliser closing the bank, say).
    Ref got = Ref::steal(PyObject_Call(acquire.get(), M.no_wait, nullptr));
    if (got.get() != Py_True)
      host::raise(PyExc_RuntimeError, "the bank lock is held by a thread that the interpreter's exit has stopped");
  } else {
    Ref::steal(PyObject_CallNoArgs(acquire.get()));
  }
  t_held_locks.push_back(lock_.get());
  acquired_ = true;
  uncaught_ = std::uncaught_exceptions();
}

void BankLock::release() {
  if (!acquired_) return;
  acquired_ = false;
  t_held_locks.pop_back();
  // Reached from the request loop's own lock guard while a thread ended at exit unwinds (the
  // guard takes the noted rethrow for an error): leave the lock as it is, as the destructor does.
  if (host::thread_exit_noted()) return;
  // An error may be on its way out: keep it while the release runs, and never lose the lock.
  const bool pending = PyErr_Occurred() != nullptr;
  host::Fetched saved;
  Ref r = Ref::steal_or_null(PyObject_CallNoArgs(release_.get()));
  if (!r) {
    if (pending)
      PyErr_Clear();
    else
      PyErr_WriteUnraisable(lock_.get());
  }
  if (pending) saved.restore();
}

BankLock::~BankLock() {
  if (!acquired_) return;
  if (std::uncaught_exceptions() == uncaught_ && host::exiting_elsewhere()) {
    // No error in flight and not released: this thread is being ended at exit (see the class).
    t_held_locks.pop_back();
    return;
  }
  release();
}

namespace {

Ref init(const Args& a) {
  PyObject* self = a.self();
  PyObject* size = a[1];
  PyObject* reg_log_filename = a[2];
  host::setattr(self, M.size, size);
  {
    Ref zero_list = Ref::steal(PyList_New(1));
    Py_INCREF(M.zero);
    PyList_SetItem(zero_list.get(), 0, M.zero);
    Ref hr = Ref::steal(PyNumber_Multiply(zero_list.get(), size));
    host::setattr(self, M.hr, hr.get());
  }
  host::setattr(self, M.lock, host::call_method(M.threading_module, M.Lock).get());
  host::setattr(self, M.ro_ranges, Ref::steal(PyList_New(0)).get());
  host::setattr(self, M.rw_ranges, Ref::steal(PyList_New(0)).get());
  host::setattr(self, M.active_connections, Ref::steal(PyDict_New()).get());
  host::setattr(self, M.server_thread, Py_None);
  host::setattr(self, M.server_net, Py_None);
  host::setattr(self, M.default_backup_file, reg_log_filename);
  for (PyObject* hook : {M.CUE_OnConnect, M.CUE_OnDisconnect, M.CUE_OnRead, M.CUE_OnWrite, M.CUE_OnWriteDenied})
    host::setattr(self, hook, Py_None);
  return host::none();
}

void append_range(PyObject* self, PyObject* list_name, PyObject* start, PyObject* end) {
  Ref range = Ref::steal(PyTuple_Pack(2, start, end));
  Ref list = host::getattr(self, list_name);
  if (PyList_CheckExact(list.get()))
    host::check(PyList_Append(list.get(), range.get()));
  else
    host::call_method(list.get(), M.append, range.get());
}

Ref set_read_only_range(const Args& a) {
  PyObject *start = a[1], *end = a[2];
  append_range(a.self(), M.ro_ranges, start, end);
  return host::none();
}

Ref set_read_write_range(const Args& a) {
  PyObject *start = a[1], *end = a[2];
  append_range(a.self(), M.rw_ranges, start, end);
  return host::none();
}

// Unpacks one range into its two bounds as `for s, e in ranges` would.
void unpack_range(PyObject* item, Ref& s, Ref& e) {
  Ref t = PyTuple_CheckExact(item) ? Ref::borrow(item) : Ref::steal(PySequence_Tuple(item));
  const Py_ssize_t n = PyTuple_Size(t.get());
  if (n != 2) {
    if (n > 2)
      PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    else
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
    host::throw_error();
  }
  s = Ref::borrow(PyTuple_GetItem(t.get(), 0));
  e = Ref::borrow(PyTuple_GetItem(t.get(), 1));
}

// The list iterator re-reads the live list's length at each step and we hold each item while it
// compares, so a host thread appending meanwhile (or a comparison running Python code) is safe.
bool is_writable(PyObject* self, PyObject* reg) {
  Ref rw = host::getattr(self, M.rw_ranges);
  Ref iter = Ref::steal(PyObject_GetIter(rw.get()));
  while (Ref item = Ref::steal_or_null(PyIter_Next(iter.get()))) {
    Ref s, e;
    unpack_range(item.get(), s, e);
    if (host::check(PyObject_RichCompareBool(s.get(), reg, Py_LE)) &&
        host::check(PyObject_RichCompareBool(reg, e.get(), Py_LE)))
      return true;
  }
  if (PyErr_Occurred()) host::throw_error();
  if (host::truthy(rw.get())) return false;
  Ref ro = host::getattr(self, M.ro_ranges);
  return !host::truthy(ro.get());
}

Ref is_writable_method(const Args& a) { return host::boolean(is_writable(a.self(), a[1])); }

// Bounds of an exact (int, int) tuple that fit in 64 bits; false for anything else.
bool int_bounds(PyObject* range, long long& s, long long& e) {
  if (!PyTuple_CheckExact(range) || PyTuple_Size(range) != 2) return false;
  PyObject* a = PyTuple_GetItem(range, 0);
  PyObject* b = PyTuple_GetItem(range, 1);
  return host::int_within(a, s) && host::int_within(b, e);
}

Ref on_read(const Args& a) {
  PyObject *ip = a[1], *addr = a[2], *val = a[3];
  host::fire_hook(a.self(), M.CUE_OnRead, ip, addr, val);
  return host::none();
}

Ref on_write(const Args& a) {
  PyObject *ip = a[1], *addr = a[2], *val = a[3];
  host::fire_hook(a.self(), M.CUE_OnWrite, ip, addr, val);
  return host::none();
}

Ref on_write_denied(const Args& a) {
  PyObject *ip = a[1], *addr = a[2], *val = a[3];
  host::fire_hook(a.self(), M.CUE_OnWriteDenied, ip, addr, val);
  return host::none();
}

// 0 <= addr < self.size, compared as the host compares (so a text address raises its TypeError).
bool in_bank(PyObject* self, PyObject* addr) {
  if (!host::check(PyObject_RichCompareBool(M.zero, addr, Py_LE))) return false;
  Ref size = host::getattr(self, M.size);
  return host::check(PyObject_RichCompareBool(addr, size.get(), Py_LT)) != 0;
}

// The bank of a server whose single-register access runs no Python code: one of our own classes,
// a plain list, an int size, and a plain lock that nobody holds. We keep the interpreter lock
// from this check to the end of the access, and every other holder of `lock` needs it to get
// anywhere, so not taking `lock` excludes them exactly as taking it would, for less.
bool plain_uncontended(PyObject* self, Ref& hr, long long& size) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  if (type != M.holdbank_class && type != M.secured_class) return false;
  Ref lock = host::getattr(self, M.lock);
  if (reinterpret_cast<PyObject*>(Py_TYPE(lock.get())) != M.plain_lock_type) return false;
  if (!held_by_this_thread(lock.get())) {
    const LockMethods& m = lock_methods(lock.get());
    if (!m.locked) return false;
    Ref state = Ref::steal(PyObject_CallNoArgs(m.locked.get()));
    if (state.get() != Py_False) return false;
  }
  hr = host::getattr(self, M.hr);
  Ref s = host::getattr(self, M.size);
  return PyList_CheckExact(hr.get()) && host::int_within(s.get(), size);
}

Ref reg_read(const Args& a) {
  PyObject* self = a.self();
  PyObject* addr = a[1];
  Ref hr;
  long long index, size;
  if (host::int_within(addr, index) && plain_uncontended(self, hr, size) && size <= PyList_Size(hr.get())) {
    if (index < 0 || index >= size) host::raise(PyExc_IndexError, "Register Address Out of Range");
    return Ref::borrow(PyList_GetItem(hr.get(), static_cast<Py_ssize_t>(index)));
  }
  return under_lock(self, [&] {
    if (!in_bank(self, addr)) host::raise(PyExc_IndexError, "Register Address Out of Range");
    hr = host::getattr(self, M.hr);
    return Ref::steal(PyObject_GetItem(hr.get(), addr));
  });
}

Ref reg_write(const Args& a) {
  PyObject* self = a.self();
  PyObject *addr = a[1], *value = a[2];
  Ref hr;
  long long index, word, size;
  if (host::int_within(addr, index) && host::int_within(value, word) && plain_uncontended(self, hr, size) &&
      size <= PyList_Size(hr.get())) {
    if (index < 0 || index >= size) return host::boolean(false);
    Ref masked = host::integer(word & 0xFFFF);
    host::check(PyList_SetItem(hr.get(), static_cast<Py_ssize_t>(index), masked.release()));
    return host::boolean(true);
  }
  return under_lock(self, [&] {
    if (!in_bank(self, addr)) return host::boolean(false);
    Ref masked = Ref::steal(PyNumber_And(value, M.mask16));
    hr = host::getattr(self, M.hr);
    host::check(PyObject_SetItem(hr.get(), addr, masked.get()));
    return host::boolean(true);
  });
}

using host::default_int;
using host::default_text;
using host::Param;

}  // namespace

bool is_own_method_in(PyObject* server, PyObject* instance_dict, PyObject* name, PyObject* fn) {
  Ref from_class = Ref::steal_or_null(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(server)), name));
  if (!from_class) {
    PyErr_Clear();
    return false;
  }
  if (from_class.get() != fn) return false;
  if (!instance_dict || !PyDict_Check(instance_dict)) return false;
  PyObject* shadow = PyDict_GetItemWithError(instance_dict, name);
  if (!shadow && PyErr_Occurred()) host::throw_error();
  return shadow == nullptr;
}

Ref instance_dict(PyObject* server) {
  Ref dict = Ref::steal_or_null(PyObject_GetAttr(server, M.dunder_dict));
  if (!dict) PyErr_Clear();
  return dict;
}

bool is_own_method(PyObject* server, PyObject* name, PyObject* fn) {
  Ref dict = instance_dict(server);
  return is_own_method_in(server, dict.get(), name, fn);
}

bool ranges_allow(PyObject* server, std::uint32_t reg) {
  static thread_local WritableRanges ranges;  // plain numbers: kept, so a look allocates nothing
  if (native_ranges(server, ranges)) return ranges.allow(reg);
  Ref r = host::integer(reg);
  return is_writable(server, r.get());
}

bool plain_ranges(PyObject* rw_list, PyObject* ro_list, WritableRanges& out) {
  if (!PyList_CheckExact(rw_list) || !PyList_CheckExact(ro_list)) return false;
  out.rw.clear();
  const Py_ssize_t n = PyList_Size(rw_list);
  for (Py_ssize_t i = 0; i < n; ++i) {
    long long s, e;
    if (!int_bounds(PyList_GetItem(rw_list, i), s, e)) return false;
    out.rw.emplace_back(s, e);
  }
  out.none_set = n == 0 && PyList_Size(ro_list) == 0;
  return true;
}

bool native_ranges(PyObject* server, WritableRanges& out) {
  Ref rw_list = host::getattr(server, M.rw_ranges);
  Ref ro_list = host::getattr(server, M.ro_ranges);
  return plain_ranges(rw_list.get(), ro_list.get(), out);
}


bool try_lock_plain(PyObject* lock) {
  const LockMethods& m = lock_methods(lock);
  Ref got = Ref::steal(PyObject_Call(m.acquire.get(), M.no_wait, nullptr));
  return got.get() == Py_True;
}

void unlock_plain(PyObject* lock) {
  const LockMethods& m = lock_methods(lock);
  // An error on its way out (the one that ended the request) must survive the release, or the
  // release would report it as its own.
  if (PyErr_Occurred()) {
    host::Fetched pending;
    Ref r = Ref::steal_or_null(PyObject_CallNoArgs(m.release.get()));
    if (!r) PyErr_Clear();
    pending.restore();
    return;
  }
  Ref::steal(PyObject_CallNoArgs(m.release.get()));
}

const host::MethodDef kInit{"__init__", init,
                            {{"self"},
                             {"size", default_int(7000), "int"},
                             {"reg_log_filename", default_text("modbus_reg_tbl.json")}}};
const host::MethodDef kSetReadOnlyRange{
    "CUF_Set_ReadOnlyRange", set_read_only_range, {{"self"}, {"start", {}, "int"}, {"end", {}, "int"}}};
const host::MethodDef kSetReadWriteRange{
    "CUF_Set_ReadWriteRange", set_read_write_range, {{"self"}, {"start", {}, "int"}, {"end", {}, "int"}}};
const host::MethodDef kIsWritable{"_is_writable", is_writable_method, {{"self"}, {"reg", {}, "int"}}, "bool"};
const host::MethodDef kOnRead{
    "_on_read", on_read, {{"self"}, {"ip", {}, "str"}, {"addr", {}, "int"}, {"val", {}, "int"}}};
const host::MethodDef kOnWrite{
    "_on_write", on_write, {{"self"}, {"ip", {}, "str"}, {"addr", {}, "int"}, {"val", {}, "int"}}};
const host::MethodDef kOnWriteDenied{
    "_on_write_denied", on_write_denied, {{"self"}, {"ip", {}, "str"}, {"addr", {}, "int"}, {"val", {}, "int"}}};
const host::MethodDef kRegRead{"CUF_REG_Read", reg_read, {{"self"}, {"addr", {}, "int"}}, "int"};
const host::MethodDef kRegWrite{
    "CUF_REG_Write", reg_write, {{"self"}, {"addr", {}, "int"}, {"value", {}, "int"}}, "bool"};

}  // namespace holdbank
