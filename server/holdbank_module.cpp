// Import of Holdbank: binds the standard-library names, configures logging, creates the module
// logger, fills the module's state, defines the four classes and binds the version, each step in
// order; any failing step fails the import and leaves nothing registered.
#include "serial_client/codec_bridge.hpp"
#include "server/event_loop.hpp"
#include "server/holdbank.hpp"

#include <cstddef>
#include <initializer_list>
#include <utility>

using host::keep;
using host::keep_name;
using host::Ref;

namespace holdbank {

ModuleState M;

namespace {

const host::MethodDef kWorkerMethods[] = {kHandle};

const host::MethodDef kHoldbankMethods[] = {
    kInit,          kSaveToFile,       kLoadFromFile,      kSetReadOnlyRange,   kSetReadWriteRange,
    kIsWritable,    kOnClientConnect,  kOnClientDisconnect, kListConnections,   kDisconnectClient,
    kOnRead,        kOnWrite,          kOnWriteDenied,     kRegRead,            kRegWrite,
    kRegWriteStr,   kRegReadStr,       kRegDump,           kOpen,               kClose,
};

const host::MethodDef kSecuredMethods[] = {kSecuredInit, kSecuredSetattr, kSecurityCheck, kAllowIpAdd,
                                          kAllowIpActive};

// 1. The standard-library names the module binds, in order.
void bind_standard_library(PyObject* m) {
  for (const char* name : {"sys", "socket", "struct", "threading", "logging", "socketserver", "json", "os"})
    host::bind(m, name, host::import(name));
  Ref typing = host::import("typing");
  for (const char* name : {"List", "Dict", "Tuple", "Any"}) host::bind(m, name, host::getattr(typing.get(), name));
}

// 2. logging.basicConfig(level=logging.INFO, format=...)
void configure_logging(PyObject* m) {
  Ref logging = host::getattr(m, "logging");
  Ref basic_config = host::getattr(logging.get(), "basicConfig");
  Ref kwargs = Ref::steal(PyDict_New());
  host::check(PyDict_SetItemString(kwargs.get(), "level", host::getattr(logging.get(), "INFO").get()));
  host::check(PyDict_SetItemString(kwargs.get(), "format", host::text("%(asctime)s [%(levelname)s] %(message)s").get()));
  Ref empty = Ref::steal(PyTuple_New(0));
  host::call_kw(basic_config.get(), empty.get(), kwargs.get());
}

// 3. The module logger, named after the module.
void create_logger(PyObject* m) {
  Ref logging = host::getattr(m, "logging");
  Ref logger = host::call(host::getattr(logging.get(), "getLogger").get(), host::text("Holdbank").get());
  host::bind(m, "logger", logger);
}

PyObject* keep_kwargs(std::initializer_list<std::pair<const char*, PyObject*>> items) {
  Ref d = Ref::steal(PyDict_New());
  for (const auto& item : items) host::check(PyDict_SetItemString(d.get(), item.first, item.second));
  return keep(std::move(d));
}

// 4. The module's state: the objects it bound, the names and constants the files share.
void fill_state(PyObject* m) {
  M.module = keep(Ref::borrow(m));
  M.module_name = keep(host::text("Holdbank"));
  M.logger = keep(host::getattr(m, "logger"));
  M.socket_module = keep(host::getattr(m, "socket"));
  M.struct_module = keep(host::getattr(m, "struct"));
  M.threading_module = keep(host::getattr(m, "threading"));
  M.json_module = keep(host::getattr(m, "json"));
  M.os_module = keep(host::getattr(m, "os"));
  M.path_module = keep(host::getattr(M.os_module, "path"));
  M.stat_module = keep(host::import("stat"));
  M.open = keep(host::getattr(host::import("builtins").get(), "open"));
  M.dump = keep(host::getattr(M.json_module, "dump"));
  M.load = keep(host::getattr(M.json_module, "load"));
  M.struct_error = keep(host::getattr(M.struct_module, "error"));
  {
    Ref fcntl = Ref::steal_or_null(PyImport_ImportModule("fcntl"));
    if (!fcntl) PyErr_Clear();
    M.fcntl_module = fcntl && PyObject_HasAttrString(fcntl.get(), "flock") ? keep(std::move(fcntl)) : nullptr;
  }
  {
    Ref sample = Ref::steal(PyObject_CallNoArgs(host::getattr(M.threading_module, "Lock").get()));
    M.plain_lock_type = keep(Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(sample.get()))));
  }

  M.size = keep_name("size");
  M.hr = keep_name("hr");
  M.lock = keep_name("lock");
  M.ro_ranges = keep_name("ro_ranges");
  M.rw_ranges = keep_name("rw_ranges");
  M.active_connections = keep_name("active_connections");
  M.server_thread = keep_name("server_thread");
  M.server_net = keep_name("server_net");
  M.default_backup_file = keep_name("default_backup_file");
  M.CUE_OnConnect = keep_name("CUE_OnConnect");
  M.CUE_OnDisconnect = keep_name("CUE_OnDisconnect");
  M.CUE_OnRead = keep_name("CUE_OnRead");
  M.CUE_OnWrite = keep_name("CUE_OnWrite");
  M.CUE_OnWriteDenied = keep_name("CUE_OnWriteDenied");
  M.CUE_OnAccessDenied = keep_name("CUE_OnAccessDenied");
  M._allow_ip_list = keep_name("_allow_ip_list");
  M._allow_ip_active = keep_name("_allow_ip_active");
  M._user_on_connect = keep_name("_user_on_connect");
  M._internal_security_check = keep_name("_internal_security_check");
  M._is_writable = keep_name("_is_writable");
  M._on_read = keep_name("_on_read");
  M._on_write = keep_name("_on_write");
  M._on_write_denied = keep_name("_on_write_denied");
  M._on_client_connect = keep_name("_on_client_connect");
  M._on_client_disconnect = keep_name("_on_client_disconnect");
  M.CUF_REG_Read = keep_name("CUF_REG_Read");
  M.CUF_REG_Write = keep_name("CUF_REG_Write");
  M.CUF_REG_ReadSTR = keep_name("CUF_REG_ReadSTR");
  M.CUF_SaveToFile = keep_name("CUF_SaveToFile");
  M.CUF_ListConnections = keep_name("CUF_ListConnections");
  M.CUF_DisconnectClient = keep_name("CUF_DisconnectClient");
  M._io_refs = keep_name("_io_refs");
  M._closed = keep_name("_closed");
  M._decref_socketios = keep_name("_decref_socketios");
  M.acquire = keep_name("acquire");
  M.release = keep_name("release");
  M.append = keep_name("append");
  M.shutdown = keep_name("shutdown");
  M.close = keep_name("close");
  M.shut_rdwr_name = keep_name("SHUT_RDWR");
  M.fileno = keep_name("fileno");
  M.owner = keep_name("owner");
  M.request = keep_name("request");
  M.client_address = keep_name("client_address");
  M.server = keep_name("server");
  M.debug = keep_name("debug");
  M.error = keep_name("error");
  M.warning = keep_name("warning");
  M.serve_forever = keep_name("serve_forever");
  M.server_close = keep_name("server_close");
  M.start = keep_name("start");
  M.Lock = keep_name("Lock");
  M.Thread = keep_name("Thread");
  M.add = keep_name("add");
  M.keys = keep_name("keys");
  M.locked = keep_name("locked");
  M.listen = keep_name("listen");
  M.split = keep_name("split");
  M.colon = keep_name(":");
  M.pack = keep_name("pack");
  M.flush = keep_name("flush");
  M.hex = keep_name("hex");
  M.errno_name = keep_name("errno");
  M.strerror_name = keep_name("strerror");
  M.dunder_init = keep_name("__init__");
  M.dunder_setattr = keep_name("__setattr__");
  M.dunder_dict = keep_name("__dict__");
  M.dunder_mro = keep_name("__mro__");
  M.CLASS_Holdbank = keep_name("CLASS_Holdbank");
  M.CLASS_Holdbank_Secured = keep_name("CLASS_Holdbank_Secured");
  M.UINT16 = keep_name("UINT16");
  M.INT16 = keep_name("INT16");
  M.UINT32 = keep_name("UINT32");
  M.INT32 = keep_name("INT32");
  M.FLOAT = keep_name("FLOAT");
  M.STRING = keep_name("STRING");
  M.READ_WRITE = keep_name("READ_WRITE");
  M.READ_ONLY = keep_name("READ_ONLY");

  M.zero = keep(host::integer(0));
  M.one = keep(host::integer(1));
  M.two = keep(host::integer(2));
  M.mask16 = keep(host::integer(0xFFFF));
  M.no_wait = keep(Ref::steal(PyTuple_Pack(1, Py_False)));
  Ref utf8 = host::text("utf-8");
  M.text_kwargs = keep_kwargs({{"encoding", utf8.get()}});
  Ref four = host::integer(4);
  M.dump_kwargs = keep_kwargs({{"indent", four.get()}, {"ensure_ascii", Py_False}});
  register_codecs::init_bridge(M.struct_module);
}

template <std::size_t K>
host::ClassDef class_def(const char* name, const host::MethodDef (&methods)[K]) {
  return host::ClassDef{name, methods, K, nullptr};
}

// 5. The classes, each bound as soon as it exists.
void define_classes(PyObject* m) {
  PyObject* ns = PyModule_GetDict(m);  // borrowed
  Ref socketserver = host::getattr(m, "socketserver");
  {
    Ref base = host::getattr(socketserver.get(), "BaseRequestHandler");
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    host::bind(m, "CLASS_SocklinkWorker", host::make_class(class_def("CLASS_SocklinkWorker", kWorkerMethods),
                                                           bases.get(), M.module_name, ns));
  }
  {
    Ref mixin = host::getattr(socketserver.get(), "ThreadingMixIn");
    Ref tcp = host::getattr(socketserver.get(), "TCPServer");
    Ref bases = Ref::steal(PyTuple_Pack(2, mixin.get(), tcp.get()));
    Ref attrs = Ref::steal(PyDict_New());
    host::check(PyDict_SetItemString(attrs.get(), "allow_reuse_address", Py_True));
    host::check(PyDict_SetItemString(attrs.get(), "daemon_threads", Py_True));
    host::ClassDef def{"ThreadedSocklinkServer", nullptr, 0, nullptr};
    host::bind(m, "ThreadedSocklinkServer", host::make_class(def, bases.get(), M.module_name, ns, attrs.get()));
  }
  {
    Ref bases = Ref::steal(PyTuple_New(0));
    Ref cls = host::make_class(class_def("CLASS_Holdbank", kHoldbankMethods), bases.get(), M.module_name, ns);
    host::bind(m, "CLASS_Holdbank", cls);
    M.holdbank_class = keep(cls);
    M.fn_is_writable = keep(host::getattr(M.holdbank_class, M._is_writable));
    M.fn_on_read = keep(host::getattr(M.holdbank_class, M._on_read));
    M.fn_on_write = keep(host::getattr(M.holdbank_class, M._on_write));
    M.fn_on_write_denied = keep(host::getattr(M.holdbank_class, M._on_write_denied));
  }
  {
    Ref bases = Ref::steal(PyTuple_Pack(1, M.holdbank_class));
    Ref cls = host::make_class(class_def("CLASS_Holdbank_Secured", kSecuredMethods), bases.get(), M.module_name, ns);
    host::bind(m, "CLASS_Holdbank_Secured", cls);
    M.secured_class = keep(cls);
  }
}

// 6. __version__, the distribution's version, given by the build.
void bind_version(PyObject* m) { host::bind(m, "__version__", host::text(HOLDBANK_VERSION)); }

PyModuleDef module_def = host::module_def("Holdbank");

Ref init_module() {
  Ref module = Ref::steal(PyModule_Create(&module_def));
  PyObject* m = module.get();
  host::init_layer(stop_all_event_loops);
  bind_standard_library(m);
  configure_logging(m);
  create_logger(m);
  fill_state(m);
  define_classes(m);
  bind_version(m);
  return module;
}

}  // namespace

}  // namespace holdbank

PyMODINIT_FUNC PyInit_Holdbank(void) {
  return host::boundary([]() { return holdbank::init_module().release(); });
}
