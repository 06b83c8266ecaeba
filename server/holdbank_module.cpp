// Import of Holdbank: binds the standard-library names, configures logging, creates the module
// logger and defines the four classes, each step in order; any failing step fails the import
// and leaves nothing registered.
#include <cstddef>
#include <iterator>

#include "server/event_loop.hpp"
#include "server/holdbank.hpp"

using host::Ref;

namespace holdbank {

Names N;

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

PyObject* keep(Ref r) { return r.release(); }

void intern_names() {
  auto I = [](const char* s) { return keep(host::intern(s)); };
  N.size = I("size");
  N.hr = I("hr");
  N.lock = I("lock");
  N.ro_ranges = I("ro_ranges");
  N.rw_ranges = I("rw_ranges");
  N.active_connections = I("active_connections");
  N.server_thread = I("server_thread");
  N.server_net = I("server_net");
  N.default_backup_file = I("default_backup_file");
  N.CUE_OnConnect = I("CUE_OnConnect");
  N.CUE_OnDisconnect = I("CUE_OnDisconnect");
  N.CUE_OnRead = I("CUE_OnRead");
  N.CUE_OnWrite = I("CUE_OnWrite");
  N.CUE_OnWriteDenied = I("CUE_OnWriteDenied");
  N.CUE_OnAccessDenied = I("CUE_OnAccessDenied");
  N._allow_ip_list = I("_allow_ip_list");
  N._allow_ip_active = I("_allow_ip_active");
  N._user_on_connect = I("_user_on_connect");
  N._internal_security_check = I("_internal_security_check");
  N._is_writable = I("_is_writable");
  N._on_read = I("_on_read");
  N._on_write = I("_on_write");
  N._on_write_denied = I("_on_write_denied");
  N._on_client_connect = I("_on_client_connect");
  N._on_client_disconnect = I("_on_client_disconnect");
  N.CUF_REG_Read = I("CUF_REG_Read");
  N.CUF_REG_Write = I("CUF_REG_Write");
  N.CUF_REG_ReadSTR = I("CUF_REG_ReadSTR");
  N.CUF_SaveToFile = I("CUF_SaveToFile");
  N.CUF_ListConnections = I("CUF_ListConnections");
  N.CUF_DisconnectClient = I("CUF_DisconnectClient");
  N.acquire = I("acquire");
  N.release = I("release");
  N.append = I("append");
  N.shutdown = I("shutdown");
  N.close = I("close");
  N.SHUT_RDWR = I("SHUT_RDWR");
  N.fileno = I("fileno");
  N.owner = I("owner");
  N.request = I("request");
  N.client_address = I("client_address");
  N.server = I("server");
  N.debug = I("debug");
  N.error = I("error");
  N.warning = I("warning");
  N.serve_forever = I("serve_forever");
  N.server_close = I("server_close");
  N.start = I("start");
  N.Lock = I("Lock");
  N.Thread = I("Thread");
  N.add = I("add");
  N.keys = I("keys");
  N.locked = I("locked");
  {
    Ref sample = host::call_method(N.threading_module, N.Lock);
    N.plain_lock_type = keep(Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(sample.get()))));
  }
  N.zero = keep(host::integer(0));
  N.mask16 = keep(host::integer(0xFFFF));
}

template <std::size_t K>
host::ClassDef class_def(const char* name, const host::MethodDef (&methods)[K]) {
  return host::ClassDef{name, methods, K, nullptr};
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "Holdbank",
    nullptr,  // no module docstring
    -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

Ref init_module() {
  Ref module = Ref::steal(PyModule_Create(&module_def));
  PyObject* m = module.get();
  PyObject* ns = PyModule_GetDict(m);  // borrowed
  N.holdbank_module = m;
  N.module_name = keep(host::text("Holdbank"));
  host::watch_interpreter_exit(stop_all_event_loops);

  // 1. the standard-library names, in order
  for (const char* name : {"sys", "socket", "struct", "threading", "logging", "socketserver", "json", "os"})
    host::bind(m, name, host::import(name));
  Ref typing = host::import("typing");
  for (const char* name : {"List", "Dict", "Tuple", "Any"}) host::bind(m, name, host::getattr(typing.get(), name));
  N.socket_module = keep(host::getattr(m, "socket"));
  N.threading_module = keep(host::getattr(m, "threading"));
  N.json_module = keep(host::getattr(m, "json"));
  N.os_module = keep(host::getattr(m, "os"));

  // 2. logging.basicConfig(level=logging.INFO, format=...)
  Ref logging = host::getattr(m, "logging");
  {
    Ref basic_config = host::getattr(logging.get(), "basicConfig");
    Ref kwargs = Ref::steal(PyDict_New());
    host::check(PyDict_SetItemString(kwargs.get(), "level", host::getattr(logging.get(), "INFO").get()));
    host::check(PyDict_SetItemString(kwargs.get(), "format",
                                     host::text("%(asctime)s [%(levelname)s] %(message)s").get()));
    Ref empty = Ref::steal(PyTuple_New(0));
    host::call_kw(basic_config.get(), empty.get(), kwargs.get());
  }

  // 3. the module logger
  Ref logger = host::call(host::getattr(logging.get(), "getLogger").get(), host::text("Holdbank").get());
  host::bind(m, "logger", logger);
  N.logger = keep(logger);

  intern_names();

  // 4. the classes, each bound as soon as it exists
  Ref socketserver = host::getattr(m, "socketserver");
  {
    Ref base = host::getattr(socketserver.get(), "BaseRequestHandler");
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    host::bind(m, "CLASS_SocklinkWorker", host::make_class(class_def("CLASS_SocklinkWorker", kWorkerMethods),
                                                     bases.get(), N.module_name, ns));
  }
  {
    Ref mixin = host::getattr(socketserver.get(), "ThreadingMixIn");
    Ref tcp = host::getattr(socketserver.get(), "TCPServer");
    Ref bases = Ref::steal(PyTuple_Pack(2, mixin.get(), tcp.get()));
    Ref attrs = Ref::steal(PyDict_New());
    host::check(PyDict_SetItemString(attrs.get(), "allow_reuse_address", Py_True));
    host::check(PyDict_SetItemString(attrs.get(), "daemon_threads", Py_True));
    host::ClassDef def{"ThreadedSocklinkServer", nullptr, 0, nullptr};
    host::bind(m, "ThreadedSocklinkServer", host::make_class(def, bases.get(), N.module_name, ns, attrs.get()));
  }
  {
    Ref bases = Ref::steal(PyTuple_New(0));
    Ref cls = host::make_class(class_def("CLASS_Holdbank", kHoldbankMethods), bases.get(), N.module_name, ns);
    host::bind(m, "CLASS_Holdbank", cls);
    N.holdbank_class = keep(cls);
    N.fn_is_writable = keep(host::getattr(cls.get(), N._is_writable));
    N.fn_on_read = keep(host::getattr(cls.get(), N._on_read));
    N.fn_on_write = keep(host::getattr(cls.get(), N._on_write));
    N.fn_on_write_denied = keep(host::getattr(cls.get(), N._on_write_denied));
  }
  {
    Ref base = host::getattr(m, "CLASS_Holdbank");
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    Ref cls = host::make_class(class_def("CLASS_Holdbank_Secured", kSecuredMethods), bases.get(), N.module_name, ns);
    host::bind(m, "CLASS_Holdbank_Secured", cls);
    N.secured_class = keep(cls);
  }
  return module;
}

}  // namespace

}  // namespace holdbank

PyMODINIT_FUNC PyInit_Holdbank(void) {
  return host::boundary([]() { return holdbank::init_module().release(); });
}
