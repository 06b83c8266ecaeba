// CLASS_Holdbank_Secured: the server with an IP allow-list in front of it.
//
// The object's own check sits in CUE_OnConnect for good; whatever the host script assigns there
// is kept aside as the user connect hook, which the check calls only for admitted masters.
#include "server/holdbank.hpp"

#include <optional>

using host::Args;
using host::Ref;

namespace holdbank {
namespace {

Ref join(PyObject* a, PyObject* b) { return Ref::steal(PyUnicode_Concat(a, b)); }

// prefix + str(middle) + suffix
Ref message(const char* prefix, PyObject* middle, const char* suffix) {
  Ref head = host::concat(prefix, middle);
  Ref tail = host::text(suffix);
  return join(head.get(), tail.get());
}

// The base class's attribute assignment, as super(CLASS_Holdbank_Secured, self) reaches it.
void base_setattr(PyObject* self, PyObject* name, PyObject* value) {
  Ref cls = host::getattr(M.module, M.CLASS_Holdbank_Secured);
  Ref parent = host::call(reinterpret_cast<PyObject*>(&PySuper_Type), cls.get(), self);
  host::call_method(parent.get(), M.dunder_setattr, name, value);
}

Ref secured_init(const Args& a) {
  PyObject* self = a.self();
  PyObject *size = a[1], *reg_log_filename = a[2];
  Ref base = host::getattr(M.module, M.CLASS_Holdbank);
  Ref base_init = host::getattr(base.get(), M.dunder_init);
  host::call(base_init.get(), self, size, reg_log_filename);
  Ref allowed = Ref::steal(PySet_New(nullptr));
  host::setattr(self, M._allow_ip_list, allowed.get());
  host::setattr(self, M._allow_ip_active, Py_False);
  host::setattr(self, M._user_on_connect, Py_None);
  host::setattr(self, M.CUE_OnAccessDenied, Py_None);
  return host::none();
}

// Every assignment passes here. One to CUE_OnConnect becomes the user connect hook, and the
// check is put (back) in its place; assigning the check itself changes nothing.
Ref secured_setattr(const Args& a) {
  PyObject* self = a.self();
  PyObject* name = a[1];
  PyObject* value = a[2];
  if (host::equals(name, M.CUE_OnConnect)) {
    Ref check = host::getattr(self, M._internal_security_check);
    if (!host::equals(value, check.get())) {
      host::setattr(self, M._user_on_connect, value);
      base_setattr(self, M.CUE_OnConnect, check.get());
      return host::none();
    }
  }
  base_setattr(self, name, value);
  return host::none();
}

// Runs on the new connection's handler thread, after the connection is registered and with the
// bank lock released, so dropping the master from here is safe.
Ref security_check(const Args& a) {
  PyObject* self = a.self();
  PyObject* ip = a[1];
  PyObject* full_address = a[2];
  Ref active = host::getattr(self, M._allow_ip_active);
  if (host::truthy(active.get())) {
    Ref allowed = host::getattr(self, M._allow_ip_list);
    if (!host::check(PySequence_Contains(allowed.get(), ip))) {
      host::fire_hook(self, M.CUE_OnAccessDenied, ip, full_address);
      host::call_method(self, M.CUF_DisconnectClient, full_address);
      return host::none();
    }
  }
  host::fire_hook(self, M._user_on_connect, ip, full_address);
  return host::none();
}

Ref allow_ip_add(const Args& a) {
  PyObject* ip = a[1];
  Ref allowed = host::getattr(a.self(), M._allow_ip_list);
  host::call_method(allowed.get(), M.add, ip);
  host::print_line(message("[SECURITY] IP [", ip, "] has been added to the whitelist (allowed list).").get());
  return host::none();
}

// Drops every registered master whose IP is not on the list. A refused master is dropped even
// when the report hook fails: a failing hook must not leave a master connected that the list
// refuses. After a failure the hook is not called again, the sweep finishes, and the first
// failure then reaches the caller.
void sweep(PyObject* self) {
  Ref listed = host::call_method(self, M.CUF_ListConnections);
  Ref iter = Ref::steal(PyObject_GetIter(listed.get()));
  std::optional<host::Fetched> failure;
  while (Ref full_address = Ref::steal_or_null(PyIter_Next(iter.get()))) {
    Ref parts = host::call_method(full_address.get(), M.split, M.colon);
    Ref ip = Ref::steal(PySequence_GetItem(parts.get(), 0));
    Ref allowed = host::getattr(self, M._allow_ip_list);
    if (host::check(PySequence_Contains(allowed.get(), ip.get()))) continue;
    if (!failure) {
      try {
        host::fire_hook(self, M.CUE_OnAccessDenied, ip.get(), full_address.get());
      } catch (const host::PyError&) {
        failure.emplace(host::ordinary_error(
            [&] { host::call_method(self, M.CUF_DisconnectClient, full_address.get()); }));
      }
    }
    host::call_method(self, M.CUF_DisconnectClient, full_address.get());
  }
  if (PyErr_Occurred()) host::throw_error();
  if (failure) {
    failure->restore();
    host::throw_error();
  }
}

Ref allow_ip_active(const Args& a) {
  PyObject* self = a.self();
  PyObject* on = a[1];
  // Set before the sweep's snapshot, so a master connecting meanwhile is judged by the new rule.
  host::setattr(self, M._allow_ip_active, on);
  if (host::truthy(on)) {
    Ref allowed = host::getattr(self, M._allow_ip_list);
    Ref entries = Ref::steal(PySequence_List(allowed.get()));
    host::print_line(message("[SECURITY] 🔒 Allow-list firewall has been enabled! Only IPs in the whitelist ",
                             entries.get(), " are allowed to connect.")
                         .get());
    sweep(self);
  } else {
    host::print_line(
        "[SECURITY] 🔓 Allow-list firewall has been disabled! All IPs are currently allowed to connect.");
  }
  return host::none();
}

using host::default_int;
using host::default_text;

}  // namespace

const host::MethodDef kSecuredInit{"__init__", secured_init,
    {{"self"}, {"size", default_int(7000), "int"}, {"reg_log_filename", default_text("modbus_reg_tbl.json"), "str"}}};
const host::MethodDef kSecuredSetattr{"__setattr__", secured_setattr, {{"self"}, {"name"}, {"value"}}};
const host::MethodDef kSecurityCheck{"_internal_security_check", security_check, {{"self"}, {"ip_addr"}, {"full_addr"}}, nullptr,
    " 🔒 正面表列檢查：只允許白名單內的 IP 放行，其餘一律掐斷 "};
const host::MethodDef kAllowIpAdd{"CUF_AllowIP_Add", allow_ip_add, {{"self"}, {"Pms_IP", {}, "str"}}, nullptr,
    " 功能: 增加允許連入的 IP 到白名單中 "};
const host::MethodDef kAllowIpActive{"CUF_AllowIP_Active", allow_ip_active, {{"self"}, {"Pms_Active", {}, "bool"}}, nullptr,
    " 功能: 啟動或關閉正面表列防火牆 (傳入 True/False) "};

}  // namespace holdbank
