// The register backup file: the whole bank saved as JSON ("READ_WRITE" and "READ_ONLY" sections,
// decimal address -> value) and restored from it.
//
// The file is the only copy of the registers that survives a restart, so a save never leaves it
// half-written (a temporary file in the same folder replaces it in one step), and a load stores
// nothing unless every entry of the file is good (otherwise CUF_Close would later overwrite the
// user's file with a bank that is neither the old one nor the file's).
#include "server/holdbank.hpp"

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <utility>
#include <vector>

using host::Args;
using host::Ref;

namespace holdbank {
namespace {

Ref os_call(const char* fn, std::initializer_list<PyObject*> args) {
  Ref f = host::getattr(M.os_module, fn);
  Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
  Py_ssize_t i = 0;
  for (PyObject* arg : args) {
    Py_INCREF(arg);
    PyTuple_SetItem(t.get(), i++, arg);
  }
  return host::call_kw(f.get(), t.get(), nullptr);
}

// os.<name>, borrowed, or null where the system has no such thing. Looked up in the module's
// namespace: a failed attribute lookup may run Python code to word its error (the module's
// spec, on newer interpreters), where a Ctrl-C would be taken and then lost with the error.
PyObject* os_has(const char* name) { return PyDict_GetItemString(PyModule_GetDict(M.os_module), name); }

Ref path_call(const char* fn, PyObject* arg) { return host::call(host::getattr(M.path_module, fn).get(), arg); }

// open(file, mode, encoding="utf-8"): text mode, so line ends follow the platform.
Ref open_text(PyObject* file, const char* mode) {
  Ref m = host::text(mode);
  Ref args = Ref::steal(PyTuple_Pack(2, file, m.get()));
  return host::call_kw(M.open, args.get(), M.text_kwargs);
}

void dump_json(PyObject* obj, PyObject* file) {
  Ref args = Ref::steal(PyTuple_Pack(2, obj, file));
  host::call_kw(M.dump, args.get(), M.dump_kwargs);
}

// Runs a clean-up step while an error is on its way out: the step's own failure is dropped and
// the original error is given back.
template <class F>
void while_failing(F&& step) {
  host::Fetched pending;
  try {
    step();
  } catch (const host::PyError&) {
    PyErr_Clear();
  } catch (...) {
    if (host::thread_exit_caught()) throw;
  }
  pending.restore();
}

void close_quietly(PyObject* file) {
  while_failing([&] { host::call_method(file, M.close); });
}

Ref join_text(std::initializer_list<PyObject*> parts) {
  Ref list = Ref::steal(PyList_New(0));
  for (PyObject* p : parts) {
    Ref s = Ref::steal(PyObject_Str(p));
    host::check(PyList_Append(list.get(), s.get()));
  }
  Ref empty = host::text("");
  return Ref::steal(PyUnicode_Join(empty.get(), list.get()));
}

// ---- save ------------------------------------------------------------------------------------

// Every register sorted by the instance's own _is_writable, copied under one hold of the lock so
// the file shows the bank at one moment.
Ref snapshot(PyObject* self) {
  Ref rw = Ref::steal(PyDict_New());
  Ref ro = Ref::steal(PyDict_New());
  under_lock(self, [&] {
    Ref size_obj = host::getattr(self, M.size);
    const Py_ssize_t size = PyNumber_AsSsize_t(size_obj.get(), PyExc_OverflowError);
    if (size == -1 && PyErr_Occurred()) host::throw_error();
    Ref hr = host::getattr(self, M.hr);
    // Our own _is_writable is answered from the ranges without a call per register: the lock is
    // held for as short a time as possible.
    const bool own_ranges = is_own_method(self, M._is_writable, M.fn_is_writable);
    for (Py_ssize_t i = 0; i < size; ++i) {
      Ref addr = Ref::steal(PyLong_FromSsize_t(i));
      Ref value = Ref::steal(PyObject_GetItem(hr.get(), addr.get()));
      bool writable;
      if (own_ranges && i <= 0xFFFFFFFF) {
        writable = ranges_allow(self, static_cast<std::uint32_t>(i));
      } else {
        Ref answer = host::call_method(self, M._is_writable, addr.get());
        writable = host::truthy(answer.get());
      }
      Ref key = Ref::steal(PyObject_Str(addr.get()));
      host::check(PyDict_SetItem(writable ? rw.get() : ro.get(), key.get(), value.get()));
    }
  });
  Ref top = Ref::steal(PyDict_New());
  host::check(PyDict_SetItem(top.get(), M.READ_WRITE, rw.get()));
  host::check(PyDict_SetItem(top.get(), M.READ_ONLY, ro.get()));
  return top;
}

// Devices and pipes (/dev/null, a FIFO) cannot be replaced by a file: they are written as they are.
// This is also the path that lets open() report a name it cannot write with its usual error.
void write_in_place(PyObject* path, PyObject* content) {
  Ref file = open_text(path, "w");
  try {
    dump_json(content, file.get());
  } catch (const host::PyError&) {
    close_quietly(file.get());
    throw;
  }
  host::call_method(file.get(), M.close);
}

// An error about the temporary file is reported against the name the caller gave, as open() on
// that name would have reported it.
[[noreturn]] void rethrow_for(PyObject* path) {
  host::Fetched err;
  if (err.matches(PyExc_OSError)) {
    Ref no = Ref::steal_or_null(PyObject_GetAttr(err.value(), M.errno_name));
    Ref why = Ref::steal_or_null(PyObject_GetAttr(err.value(), M.strerror_name));
    if (no && why && no.get() != Py_None) {
      Ref renamed = Ref::steal_or_null(PyObject_CallFunctionObjArgs(PyExc_OSError, no.get(), why.get(), path, nullptr));
      if (renamed) {
        Ref type = Ref::steal(PyObject_Type(renamed.get()));
        PyErr_SetObject(type.get(), renamed.get());
        host::throw_error();
      }
    }
    PyErr_Clear();
  }
  err.restore();
  host::throw_error();
}

// ---- temporary files ---------------------------------------------------------------------------
//
// A save writes a temporary file beside its target, named for that target, and holds an exclusive
// lock (flock) on it until the file has replaced the target. A save killed meanwhile leaves its file
// behind, unlocked: the system drops a dead process's locks. A later save or load of the same
// target removes such files, those it can lock, so they do not pile up, and never one a live
// process is still writing. Where there are no such locks (Windows), the removal is only tried: a
// file another process still has open cannot be removed there.

// True when the lock was taken; false when another open file holds it.
bool try_lock(PyObject* fcntl, PyObject* fd) {
  Ref ex = host::getattr(fcntl, "LOCK_EX");
  Ref nb = host::getattr(fcntl, "LOCK_NB");
  Ref how = Ref::steal(PyNumber_Or(ex.get(), nb.get()));
  Ref done = Ref::steal_or_null(
      PyObject_CallFunctionObjArgs(host::getattr(fcntl, "flock").get(), fd, how.get(), nullptr));
  if (done) return true;
  if (!PyErr_ExceptionMatches(PyExc_OSError)) host::throw_error();
  PyErr_Clear();
  return false;
}

// Whether the open descriptor `fd` is the file `name` names now.
bool still_named(PyObject* fd, PyObject* name) {
  Ref open_st = os_call("fstat", {fd});
  Ref named_st = Ref::steal_or_null(
      PyObject_CallFunctionObjArgs(host::getattr(M.os_module, "stat").get(), name, nullptr));
  if (!named_st) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) host::throw_error();
    PyErr_Clear();
    return false;
  }
  for (const char* field : {"st_dev", "st_ino"})
    if (!host::equals(host::getattr(open_st.get(), field).get(), host::getattr(named_st.get(), field).get()))
      return false;
  return true;
}

// ".holdbank-" and 16 hex digits of a hash of the target's name, then "-": the start of the name of
// every temporary file of this target's saves (which lie in the target's folder). The name alone,
// so that a folder moved elsewhere keeps its targets; hashed, so that a long name still fits.
Ref temporary_prefix(PyObject* target) {
  Ref base = path_call("basename", target);
  Ref bytes = os_call("fsencode", {base.get()});
  char* data = nullptr;
  Py_ssize_t len = 0;
  host::check(PyBytes_AsStringAndSize(bytes.get(), &data, &len));
  std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a: the same in every process and release
  for (Py_ssize_t i = 0; i < len; ++i) {
    hash ^= static_cast<unsigned char>(data[i]);
    hash *= 0x100000001b3ULL;
  }
  char text[40];
  std::snprintf(text, sizeof text, ".holdbank-%016llx-", static_cast<unsigned long long>(hash));
  return host::text(text);
}

// Removes the temporary files of the saves of `filename` (a name as the caller gave it) that no
// live process holds. Never fails: what it cannot remove stays for the next time.
void remove_stale_temporaries(PyObject* filename) {
  try {
    Ref path = os_call("fsdecode", {filename});
    Ref target = path_call("realpath", path.get());
    Ref folder = path_call("dirname", target.get());
    Ref prefix = temporary_prefix(target.get());
    Ref suffix = host::text(".tmp");
    Ref listed = os_call("listdir", {folder.get()});
    PyObject* fcntl = M.fcntl_module;
    Ref read_only = host::getattr(M.os_module, "O_RDONLY");
    Ref iter = Ref::steal(PyObject_GetIter(listed.get()));
    while (Ref entry = Ref::steal_or_null(PyIter_Next(iter.get()))) {
      if (!PyUnicode_Check(entry.get()) || PyUnicode_Tailmatch(entry.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1) != 1 ||
          PyUnicode_Tailmatch(entry.get(), suffix.get(), 0, PY_SSIZE_T_MAX, 1) != 1)
        continue;
      Ref name = host::call(host::getattr(M.path_module, "join").get(), folder.get(), entry.get());
      try {
        if (!fcntl) {
          os_call("unlink", {name.get()});
          continue;
        }
        Ref fd = os_call("open", {name.get(), read_only.get()});
        try {
          // Locked: a live save is writing it. Ours now: its writer is gone, unless the name
          // meanwhile went to another file.
          if (try_lock(fcntl, fd.get()) && still_named(fd.get(), name.get())) os_call("unlink", {name.get()});
        } catch (const host::PyError&) {
          while_failing([&] { os_call("close", {fd.get()}); });
          throw;
        }
        os_call("close", {fd.get()});
      } catch (const host::PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) throw;
        PyErr_Clear();
      }
    }
    if (PyErr_Occurred()) host::throw_error();
  } catch (const host::PyError&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;  // an interrupt goes on
    PyErr_Clear();
  }
}

// A temporary file being written, locked for as long as this lives (see above). It closes its
// lock's descriptor exactly once: moved, it leaves nothing to close behind (a copy would close
// the number twice, the second time someone else's).
struct Temporary {
  Ref name, fd, lock_fd;  // lock_fd: a second descriptor holding the lock after fd is closed
  Temporary(Ref n, Ref f) : name(std::move(n)), fd(std::move(f)) {}
  Temporary(Temporary&& o) noexcept
      : name(std::move(o.name)), fd(std::move(o.fd)), lock_fd(std::move(o.lock_fd)) {}
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;
  Temporary& operator=(Temporary&&) = delete;
  ~Temporary() {
    if (lock_fd && !host::ended_by_exit())
      while_failing([&] { os_call("close", {lock_fd.get()}); });
  }
};

// Creates an empty temporary file for `target` in `folder`, locked. New files get what open()
// would give (0666 less the umask).
Temporary create_temporary(PyObject* folder, PyObject* target, PyObject* path) {
  long long flags = 0;
  // O_BINARY exists only on Windows, where it keeps the C runtime from translating line ends a
  // second time.
  for (const char* flag : {"O_WRONLY", "O_CREAT", "O_EXCL", "O_BINARY"})
    if (PyObject* v = os_has(flag)) flags |= host::as_long_long(v);
  Ref flags_obj = host::integer(flags);
  Ref perms = host::integer(0666);
  Ref prefix = temporary_prefix(target);
  Ref suffix = host::text(".tmp");
  Ref random_len = host::integer(8);
  PyObject* fcntl = M.fcntl_module;
  for (int attempt = 0;; ++attempt) {
    Ref random = os_call("urandom", {random_len.get()});
    Ref hex = host::call_method(random.get(), M.hex);
    Ref base = join_text({prefix.get(), hex.get(), suffix.get()});
    Ref name = host::call(host::getattr(M.path_module, "join").get(), folder, base.get());
    Ref fd = Ref::steal_or_null(
        PyObject_CallFunctionObjArgs(host::getattr(M.os_module, "open").get(), name.get(), flags_obj.get(),
                                     perms.get(), nullptr));
    if (!fd) {
      if (attempt < 100 && PyErr_ExceptionMatches(PyExc_FileExistsError)) {
        PyErr_Clear();
        continue;
      }
      rethrow_for(path);
    }
    Temporary made(name, fd);
    if (!fcntl) return made;
    try {
      made.lock_fd = os_call("dup", {fd.get()});
      // Between the creation and the lock, another save's clean-up may have taken the file for a
      // dead one's and removed it: then this one starts again under a new name.
      if (try_lock(fcntl, made.lock_fd.get()) && still_named(fd.get(), name.get())) return made;
    } catch (const host::PyError&) {
      while_failing([&] { os_call("close", {fd.get()}); });
      while_failing([&] { os_call("unlink", {name.get()}); });
      rethrow_for(path);
    }
    os_call("close", {fd.get()});
    if (attempt >= 100) host::raise(PyExc_OSError, "no temporary file could be locked for the save");
  }
}

// The rename reaches the disk with its folder. The file is saved either way, so a folder that
// cannot be synced (not POSIX) changes nothing.
void sync_folder(PyObject* folder) {
  Ref dir_fd;
  try {
    Ref read_only = host::getattr(M.os_module, "O_RDONLY");
    dir_fd = os_call("open", {folder, read_only.get()});
    os_call("fsync", {dir_fd.get()});
  } catch (const host::PyError&) {
    if (dir_fd) while_failing([&] { os_call("close", {dir_fd.get()}); });
    host::ordinary_error();  // an interrupt goes on
    return;
  }
  try {
    os_call("close", {dir_fd.get()});
  } catch (const host::PyError&) {
    host::ordinary_error();
  }
}

// The replacement keeps the owner and group of the file it replaces (a save run by root over a
// user's file leaves it that user's), or at least its group, as far as the system lets us; a
// save that may not do so still saves.
void keep_owner(PyObject* name, PyObject* st) {
  if (!os_has("chown")) return;
  Ref uid = host::getattr(st, "st_uid");
  Ref gid = host::getattr(st, "st_gid");
  Ref unchanged = host::integer(-1);
  for (PyObject* owner : {uid.get(), unchanged.get()}) {
    try {
      os_call("chown", {name, owner, gid.get()});
      return;
    } catch (const host::PyError&) {
      if (!PyErr_ExceptionMatches(PyExc_OSError)) throw;
      PyErr_Clear();
    }
  }
}

// Writes the whole content to a temporary file in the target's folder, puts it on disk, then
// moves it over the target in one step: whatever fails, the old file stays as it was. `st`, the
// target's stat when it exists, gives the owner and mode the new file keeps.
void write_replacing(PyObject* target, PyObject* path, PyObject* st, PyObject* content) {
  Ref folder = path_call("dirname", target);
  remove_stale_temporaries(target);
  Temporary temporary = create_temporary(folder.get(), target, path);
  Ref name = temporary.name;
  Ref fd = temporary.fd;
  Ref file;
  try {
    if (st) {
      keep_owner(name.get(), st);  // before chmod: a change of owner may clear set-id bits
      Ref st_mode = host::getattr(st, "st_mode");
      Ref mode = host::call(host::getattr(M.stat_module, "S_IMODE").get(), st_mode.get());
      os_call("chmod", {name.get(), mode.get()});
    }
    file = open_text(fd.get(), "w");  // owns the descriptor from here on
    dump_json(content, file.get());
    host::call_method(file.get(), M.flush);
    Ref fileno = host::call_method(file.get(), M.fileno);
    os_call("fsync", {fileno.get()});
    host::call_method(file.get(), M.close);
    os_call("replace", {name.get(), target});
  } catch (const host::PyError&) {
    if (file)
      close_quietly(file.get());
    else
      while_failing([&] { os_call("close", {fd.get()}); });
    while_failing([&] { os_call("unlink", {name.get()}); });
    throw;
  }
  sync_folder(folder.get());
}

void write_file(PyObject* filename, PyObject* content) {
  Ref path = os_call("fsdecode", {filename});  // TypeError for None, as open() gives
  // A symbolic link stays: the file it leads to is the one replaced.
  Ref target = path_call("realpath", path.get());
  Ref st = Ref::steal_or_null(PyObject_CallFunctionObjArgs(host::getattr(M.os_module, "stat").get(),
                                                           target.get(), nullptr));
  if (!st) {
    if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
      PyErr_Clear();
      write_replacing(target.get(), path.get(), nullptr, content);
      return;
    }
    if (!PyErr_ExceptionMatches(PyExc_OSError)) host::throw_error();
    PyErr_Clear();  // not reachable as a file: let open() say why
    write_in_place(path.get(), content);
    return;
  }
  Ref st_mode = host::getattr(st.get(), "st_mode");
  Ref regular = host::call(host::getattr(M.stat_module, "S_ISREG").get(), st_mode.get());
  if (!host::truthy(regular.get())) {
    write_in_place(path.get(), content);
    return;
  }
  // A file we may not write is refused as open() refuses it, not replaced behind its back.
  Ref w_ok = host::getattr(M.os_module, "W_OK");
  Ref writable = os_call("access", {target.get(), w_ok.get()});
  if (!host::truthy(writable.get())) {
    write_in_place(path.get(), content);
    return;
  }
  write_replacing(target.get(), path.get(), st.get(), content);
}

Ref save_to_file(const Args& a) {
  PyObject* self = a.self();
  PyObject* filename = a[1];
  Ref content = snapshot(self);
  write_file(filename, content.get());
  Ref line = host::concat("[Holdbank] 💾 Register successful save to json file: ", filename);
  host::print_line(line.get());
  return host::none();
}

// ---- load ------------------------------------------------------------------------------------

Ref read_json(PyObject* name) {
  Ref file = open_text(name, "r");
  Ref data;
  try {
    data = host::call(M.load, file.get());
  } catch (const host::PyError&) {
    close_quietly(file.get());
    throw;
  }
  host::call_method(file.get(), M.close);
  return data;
}

[[noreturn]] void refuse(Ref message) {
  PyErr_SetObject(PyExc_ValueError, message.get());
  host::throw_error();
}

struct Entry {
  Ref addr, value;
};

// Converts and checks every entry of both sections, in file order; the entries that fall inside
// the bank are returned, the others are left out. Any bad entry fails the whole file.
std::vector<Entry> checked_entries(PyObject* self, PyObject* data) {
  if (!PyDict_Check(data)) host::raise(PyExc_ValueError, "the file does not hold a JSON object");
  Ref size = host::getattr(self, M.size);
  Ref max_value = host::integer(0xFFFF);
  std::vector<Entry> entries;
  for (PyObject* section_name : {M.READ_WRITE, M.READ_ONLY}) {
    PyObject* section = PyDict_GetItemWithError(data, section_name);  // borrowed
    if (!section) {
      if (PyErr_Occurred()) host::throw_error();
      continue;
    }
    if (!PyDict_Check(section))
      refuse(join_text({host::text("section ").get(), section_name, host::text(" is not a JSON object").get()}));
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *raw = nullptr;
    while (PyDict_Next(section, &pos, &key, &raw)) {
      Ref k = Ref::borrow(key), r = Ref::borrow(raw);
      Ref addr = Ref::steal(PyNumber_Long(k.get()));
      Ref value = Ref::steal(PyNumber_Long(r.get()));
      if (!host::check(PyObject_RichCompareBool(M.zero, value.get(), Py_LE)) ||
          !host::check(PyObject_RichCompareBool(value.get(), max_value.get(), Py_LE)))
        refuse(join_text({host::text("register ").get(), addr.get(), host::text(" in ").get(), section_name,
                          host::text(": value ").get(), value.get(),
                          host::text(" is not a register value (0 to 65535)").get()}));
      if (host::check(PyObject_RichCompareBool(M.zero, addr.get(), Py_LE)) &&
          host::check(PyObject_RichCompareBool(addr.get(), size.get(), Py_LT)))
        entries.push_back({std::move(addr), std::move(value)});
    }
  }
  return entries;
}

Ref load_from_file(const Args& a) {
  PyObject* self = a.self();
  PyObject* name = a[1];
  remove_stale_temporaries(name);
  Ref exists = path_call("exists", name);
  if (!host::truthy(exists.get())) {
    Ref message = host::concat("指定載入的檔案不存在: ", name);
    host::log(M.logger, M.warning, message.get());
    return host::boolean(false);
  }
  try {
    Ref data = read_json(name);  // before the lock: masters are not held up by the disk
    std::vector<Entry> entries = checked_entries(self, data.get());
    under_lock(self, [&] {
      Ref hr = host::getattr(self, M.hr);
      // A register list shorter than `size` (replaced by the host script) must not take half
      // of the file.
      Py_ssize_t highest = -1;
      for (const Entry& e : entries) {
        const Py_ssize_t i = PyLong_AsSsize_t(e.addr.get());
        if (i == -1 && PyErr_Occurred()) host::throw_error();
        if (i > highest) highest = i;
      }
      if (highest >= 0) {
        const Py_ssize_t length = PyObject_Size(hr.get());
        if (length < 0) host::throw_error();
        if (length <= highest) host::raise(PyExc_IndexError, "the register list is shorter than size");
      }
      for (const Entry& e : entries) host::check(PyObject_SetItem(hr.get(), e.addr.get(), e.value.get()));
    });
    host::setattr(self, M.default_backup_file, name);
    Ref count = Ref::steal(PyLong_FromSize_t(entries.size()));
    Ref line = join_text({host::text("[Holdbank] 📂 Load file ").get(), name, host::text("，recover ").get(),
                          count.get(), host::text(" reg. values。").get()});
    host::print_line(line.get());
    return host::boolean(true);
  } catch (const host::PyError&) {
    host::log_ordinary_error(M.logger, M.error, "reg. file load faillure: ");
    return host::boolean(false);
  }
}

}  // namespace

const host::MethodDef kSaveToFile{"CUF_SaveToFile", save_to_file, {{"self"}, {"filename", {}, "str"}}, nullptr,
    " 將所有 Holding Register 依據可讀寫與唯讀區分並存成檔案 "};
const host::MethodDef kLoadFromFile{"CUF_LoadFromFile", load_from_file, {{"self"}, {"Pms_IniFile", {}, "str"}}, "bool",
    " 需求功能：載入前次的 Register 內容 "};

}  // namespace holdbank
