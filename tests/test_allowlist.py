"""The allow-list server: the connect-hook takeover, its messages, and refusing masters that are
not on the list, locally and over real loopback connections."""
import inspect
import struct
import threading

import pytest

import Holdbank
from child_checks import COMING_BACK, LINUX_ONLY, check_child, check_failed_connect_steps
from conftest import mbap, recv_frame, wait_until
from pythons import each_python, holdbank_only  # noqa: F401

S = Holdbank.CLASS_Holdbank_Secured

ENABLED = ("[SECURITY] 🔒 Allow-list firewall has been enabled! Only IPs in the whitelist %s "
           "are allowed to connect.")
DISABLED = "[SECURITY] 🔓 Allow-list firewall has been disabled! All IPs are currently allowed to connect."


def added(ip):
    return "[SECURITY] IP [%s] has been added to the whitelist (allowed list)." % ip


class Events:
    """Hook calls from any thread, in the order they happened."""

    def __init__(self):
        self.lock = threading.Lock()
        self.items = []

    def hook(self, kind):
        def record(*args):
            with self.lock:
                self.items.append((kind,) + args)
        return record

    def of(self, kind):
        with self.lock:
            return [e[1:] for e in self.items if e[0] == kind]

    def all(self):
        with self.lock:
            return list(self.items)


def watched(bank):
    ev = Events()
    bank.CUE_OnConnect = ev.hook("connect")
    bank.CUE_OnAccessDenied = ev.hook("denied")
    bank.CUE_OnDisconnect = ev.hook("disconnect")
    return ev


# --- class surface and construction ---------------------------------------------------------

def test_methods_signatures_and_docs():
    expected = {
        "__init__": ("(self, size: int = 7000, reg_log_filename: str = 'modbus_reg_tbl.json')", None),
        "__setattr__": ("(self, name, value)", None),
        "_internal_security_check": ("(self, ip_addr, full_addr)",
                                     " 🔒 正面表列檢查：只允許白名單內的 IP 放行，其餘一律掐斷 "),
        "CUF_AllowIP_Add": ("(self, Pms_IP: str)", " 功能: 增加允許連入的 IP 到白名單中 "),
        "CUF_AllowIP_Active": ("(self, Pms_Active: bool)", " 功能: 啟動或關閉正面表列防火牆 (傳入 True/False) "),
    }
    own = [n for n, v in vars(S).items() if callable(v)]
    assert own == list(expected)
    for name, (sig, doc) in expected.items():
        fn = vars(S)[name]
        assert str(inspect.signature(fn)) == sig, name
        assert fn.__doc__ == doc, name
        assert fn.__qualname__ == "CLASS_Holdbank_Secured." + name


def test_construction(tmp_path):
    name = str(tmp_path / "regs.json")
    b = S(12, reg_log_filename=name)
    assert (b.size, len(b.hr), b.default_backup_file) == (12, 12, name)
    assert b._allow_ip_list == set() and type(b._allow_ip_list) is set
    assert b._allow_ip_active is False
    assert b._user_on_connect is None and b.CUE_OnAccessDenied is None
    assert b.CUE_OnConnect == b._internal_security_check
    assert b.CUE_OnConnect.__self__ is b
    assert S()._allow_ip_list is not S()._allow_ip_list
    assert S().size == 7000
    assert not tmp_path.joinpath("regs.json").exists()


def test_every_assignment_passes_the_override():
    """The base constructor's assignments come through the class's attribute assignment too."""
    seen = []

    class Spy(S):
        def __setattr__(self, name, value):
            seen.append(name)
            super().__setattr__(name, value)

    Spy(4)
    assert seen == ["size", "hr", "lock", "ro_ranges", "rw_ranges", "active_connections", "server_thread",
                    "server_net", "default_backup_file", "CUE_OnConnect", "_user_on_connect",
                    "CUE_OnDisconnect", "CUE_OnRead", "CUE_OnWrite", "CUE_OnWriteDenied",
                    "_allow_ip_list", "_allow_ip_active", "_user_on_connect", "CUE_OnAccessDenied"]


def user_hook(ip, full):
    pass


def other_hook(ip, full):
    pass


@pytest.mark.parametrize("assigned, user", [
    ([user_hook], user_hook),
    ([user_hook, None], None),
    ([user_hook, other_hook], other_hook),
    # the object's own check changes nothing
    ([user_hook, "own check"], user_hook),
    (["own check"], None),
    # another server's check is just another callable
    ([user_hook, "foreign check"], "foreign check"),
    ([user_hook, 0], 0),
])
def test_connect_hook_takeover(assigned, user):
    b = S(4)
    foreign = S(4)._internal_security_check
    for value in assigned:
        value = {"own check": b._internal_security_check, "foreign check": foreign}.get(value, value)
        b.CUE_OnConnect = value
    assert b._user_on_connect == (foreign if user == "foreign check" else user)
    assert b.CUE_OnConnect == b._internal_security_check
    assert b.__dict__["CUE_OnConnect"] == b._internal_security_check


def test_other_attributes_are_stored_as_given():
    b = S(4)
    setattr(b, "CUE_OnDisconnect", user_hook)
    b._user_on_connect = other_hook  # the slot itself is an ordinary attribute
    b.anything = 5
    assert (b.CUE_OnDisconnect, b._user_on_connect, b.anything) == (user_hook, other_hook, 5)
    assert b.CUE_OnConnect == b._internal_security_check


# --- messages and the switch -----------------------------------------------------------------

def test_add_prints_every_time_and_stores_once(capsys):
    b = S(4)
    assert b.CUF_AllowIP_Add("127.0.0.1") is None
    b.CUF_AllowIP_Add("127.0.0.1")
    b.CUF_AllowIP_Add("not validated")
    assert capsys.readouterr().out.splitlines() == [added("127.0.0.1"), added("127.0.0.1"), added("not validated")]
    assert b._allow_ip_list == {"127.0.0.1", "not validated"}


@pytest.mark.parametrize("value, on", [(True, True), (1, True), ("yes", True), (False, False), (0, False),
                                       (None, False), ("", False)])
def test_switch_takes_any_value_by_its_truth(value, on, capsys):
    b = S(4)
    assert b.CUF_AllowIP_Active(value) is None
    assert b._allow_ip_active is value
    assert capsys.readouterr().out.splitlines() == [ENABLED % "[]" if on else DISABLED]


def test_enabled_message_shows_the_list(capsys):
    b = S(4)
    for ip in ["127.0.0.1", "10.0.0.1"]:
        b.CUF_AllowIP_Add(ip)
    capsys.readouterr()
    b.CUF_AllowIP_Active(True)
    out = capsys.readouterr().out.splitlines()
    assert out in ([ENABLED % "['127.0.0.1', '10.0.0.1']"], [ENABLED % "['10.0.0.1', '127.0.0.1']"])
    assert out == [ENABLED % str(list(b._allow_ip_list))]


# --- the check, called as the connect step calls it -------------------------------------------

@pytest.mark.parametrize("active, allowed, ip, admitted", [
    (False, [], "10.0.0.9", True),
    (True, ["10.0.0.9"], "10.0.0.9", True),
    (True, [], "10.0.0.9", False),
    (True, ["127.0.0.1"], "10.0.0.9", False),
    ("on", ["10.0.0.1"], "10.0.0.9", False),  # the switch counts by its truth
    (0, ["10.0.0.1"], "10.0.0.9", True),
    # character for character: no parsing of addresses
    (True, ["010.0.0.9"], "10.0.0.9", False),
    (True, ["10.0.0.9 "], "10.0.0.9", False),
])
def test_connect_step_admits_or_refuses(active, allowed, ip, admitted, pairs):
    b = S(4)
    ev = watched(b)
    b._allow_ip_list.update(allowed)
    b._allow_ip_active = active
    ours, peer = pairs()
    peer.settimeout(5)
    full = ip + ":50000"
    b._on_client_connect(ip, full, ours)
    if admitted:
        assert ev.all() == [("connect", ip, full)]
        assert ours.fileno() >= 0
    else:
        assert ev.all() == [("denied", ip, full)]
        assert ours.fileno() == -1
        assert peer.recv(10) == b""
    assert b.CUF_ListConnections() == [full]  # the entry goes with the handler's disconnect step


@pytest.mark.parametrize("hook", [None, 0, ""])
def test_refusal_without_a_report_hook_still_drops(hook, pairs):
    b = S(4)
    b.CUE_OnAccessDenied = hook
    b.CUF_AllowIP_Active(True)
    ours, _ = pairs()
    assert b._internal_security_check("10.0.0.9", "10.0.0.9:1") is None  # nothing registered: nothing to drop
    b._on_client_connect("10.0.0.9", "10.0.0.9:1", ours)
    assert ours.fileno() == -1


@pytest.mark.parametrize("hook_name, admitted", [("CUE_OnConnect", True), ("CUE_OnAccessDenied", False)])
def test_non_callable_hook_gives_the_hosts_type_error(hook_name, admitted):
    b = S(4)
    b.CUF_AllowIP_Active(not admitted)
    setattr(b, hook_name, "not callable")
    with pytest.raises(TypeError):
        b._internal_security_check("10.0.0.9", "10.0.0.9:1")


# --- the sweep of open connections ------------------------------------------------------------

def registered(b, pairs, *fulls):
    socks = {}
    for full in fulls:
        ours, peer = pairs()
        peer.settimeout(5)
        b._on_client_connect(full.split(":")[0], full, ours)
        socks[full] = (ours, peer)
    return socks


@pytest.mark.parametrize("allowed, dropped", [
    ([], ["10.0.0.1:1", "127.0.0.1:2", "10.0.0.2:3"]),
    (["127.0.0.1"], ["10.0.0.1:1", "10.0.0.2:3"]),
    (["127.0.0.1", "10.0.0.1", "10.0.0.2"], []),
])
def test_switching_on_sweeps_open_connections(allowed, dropped, pairs, capsys):
    b = S(4)
    socks = registered(b, pairs, "10.0.0.1:1", "127.0.0.1:2", "10.0.0.2:3")
    ev = watched(b)
    for ip in allowed:
        b.CUF_AllowIP_Add(ip)
    b.CUF_AllowIP_Active(True)
    assert ev.all() == [("denied", full.split(":")[0], full) for full in dropped]
    for full, (ours, _) in socks.items():
        assert (ours.fileno() == -1) == (full in dropped), full
    assert capsys.readouterr().out.splitlines()[-1] == ENABLED % str(list(b._allow_ip_list))


def test_switching_off_leaves_open_connections(pairs):
    b = S(4)
    socks = registered(b, pairs, "10.0.0.1:1")
    ev = watched(b)
    b.CUF_AllowIP_Active(False)
    b.CUF_AllowIP_Active(None)
    assert ev.all() == [] and socks["10.0.0.1:1"][0].fileno() >= 0


def test_sweep_without_connections_only_prints(capsys):
    b = S(4)
    ev = watched(b)
    b.CUF_AllowIP_Active(True)
    assert ev.all() == [] and capsys.readouterr().out == ENABLED % "[]" + "\n"


def test_failing_report_hook_does_not_keep_refused_masters(pairs):
    """The host's hook error reaches it, but every refused master is dropped all the same."""
    b = S(4)
    socks = registered(b, pairs, "10.0.0.1:1", "127.0.0.1:2", "10.0.0.2:3")
    calls = []

    def failing(ip, full):
        calls.append(full)
        raise RuntimeError("report failed")

    b.CUE_OnAccessDenied = failing
    b.CUF_AllowIP_Add("127.0.0.1")
    with pytest.raises(RuntimeError, match="report failed"):
        b.CUF_AllowIP_Active(True)
    assert b._allow_ip_active is True
    assert calls == ["10.0.0.1:1"]
    assert [full for full, (ours, _) in socks.items() if ours.fileno() == -1] == ["10.0.0.1:1", "10.0.0.2:3"]


# --- over real connections --------------------------------------------------------------------

READ_ONE = mbap(struct.pack(">BHH", 3, 0, 1))


def full_of(sock):
    ip, port = sock.getsockname()
    return "%s:%d" % (ip, port)


def gets_no_answer(sock):
    """The master sees its connection closed, never an answer frame."""
    try:
        return sock.recv(256) == b""
    except ConnectionResetError:  # the server closed with our request unread
        return True


def answered(sock, value=0):
    sock.sendall(READ_ONE)
    return recv_frame(sock) == (1, 0, 1, struct.pack(">BBH", 3, 2, value))


@pytest.fixture
def secured(served):
    def make(allowed=(), active=True):
        b = served(cls=S)
        ev = watched(b)
        for ip in allowed:
            b.CUF_AllowIP_Add(ip)
        b.CUF_AllowIP_Active(active)
        return b, ev
    return make


def test_refused_master_gets_no_answer(secured, master):
    b, ev = secured(["127.0.0.1"])
    m = master("127.0.0.2")
    m.sendall(READ_ONE)  # right after connecting, before the check has run
    assert gets_no_answer(m)
    full = full_of(m)
    wait_until(lambda: len(ev.all()) == 2)
    assert ev.all() == [("denied", "127.0.0.2", full), ("disconnect", full)]
    wait_until(lambda: b.CUF_ListConnections() == [])


@pytest.mark.parametrize("allowed, active", [([], False), (["127.0.0.1"], True), (["127.0.0.1"], False)])
def test_admitted_master_is_served_and_reaches_the_user_hook(allowed, active, secured, master):
    b, ev = secured(allowed, active)
    b.CUF_REG_Write(0, 1234)
    m = master("127.0.0.1")
    assert answered(m, 1234)
    # the connect hook ran before the first request was answered
    assert ev.all() == [("connect", "127.0.0.1", full_of(m))]


@pytest.mark.parametrize("entry", ["127.000.0.1", "localhost", "127.0.0.1/8", " 127.0.0.1"])
def test_entries_match_character_for_character(entry, secured, master):
    _, ev = secured([entry])
    m = master("127.0.0.1")
    assert gets_no_answer(m)
    wait_until(lambda: len(ev.all()) == 2)
    assert [e[0] for e in ev.all()] == ["denied", "disconnect"]


@pytest.mark.parametrize("allowed", [[], ["127.0.0.1"]])
def test_switching_on_drops_open_masters(allowed, secured, master):
    b, ev = secured(allowed, active=False)
    kept, refused = master("127.0.0.1"), master("127.0.0.2")
    wait_until(lambda: len(b.CUF_ListConnections()) == 2)
    assert answered(kept) and answered(refused)
    b.CUF_AllowIP_Active(True)
    dropped = [m for m in (kept, refused) if full_of(m).split(":")[0] not in allowed]
    fulls = [full_of(m) for m in dropped]
    for m in dropped:
        assert gets_no_answer(m)
    wait_until(lambda: len(ev.of("disconnect")) == len(dropped))
    items = ev.all()
    assert sorted(e for e in items if e[0] != "connect") == sorted(
        [("denied", f.split(":")[0], f) for f in fulls] + [("disconnect", f) for f in fulls])
    for f in fulls:
        assert items.index(("denied", f.split(":")[0], f)) < items.index(("disconnect", f))
    if "127.0.0.1" in allowed:
        assert answered(kept)
    wait_until(lambda: b.CUF_ListConnections() == [full_of(m) for m in (kept, refused) if m not in dropped])
    # later masters are judged by the new setting
    assert gets_no_answer(master("127.0.0.2"))


def test_switching_off_keeps_masters_and_admits_new_ones(secured, master):
    b, ev = secured(["127.0.0.1"])
    first = master("127.0.0.1")
    assert answered(first)
    b.CUF_AllowIP_Active(False)
    assert answered(first)
    second = master("127.0.0.2")
    assert answered(second)
    assert ev.of("connect") == [("127.0.0.1", full_of(first)), ("127.0.0.2", full_of(second))]
    assert ev.of("denied") == [] and ev.of("disconnect") == []


def test_failing_report_hook_still_refuses(secured, master):
    """An error from the host's report hook ends the connect step; the master is not served."""
    b, ev = secured(["127.0.0.1"])

    def failing(ip, full):
        raise RuntimeError("report failed")

    b.CUE_OnAccessDenied = failing
    m = master("127.0.0.2")
    m.sendall(READ_ONE)
    assert gets_no_answer(m)
    assert ev.of("connect") == []


# --- in child interpreters of every CPython ---------------------------------------------------

SWEPT_AFTER_COMING_BACK = r'''
bank = Holdbank.CLASS_Holdbank_Secured(16, "bank.json")
watch(bank, SERVING)
port = free_port()
bank.CUF_Open("127.0.0.1", port)
back = [come_back(port, SERVING, "127.0.0.2") for _ in range(TRIES)]
all_listed(bank, back)
bank.CUF_AllowIP_Add("127.0.0.1")
bank.CUF_AllowIP_Active(True)
for new, _ in back:
    new.sendall(write_one(2, 9))
gone = ended([new for new, _ in back])
for new, full in back:
    expect(new in gone, "%s is still served after the allow-list was switched on" % full)
bank.CUF_Close()
print("done")
'''


@LINUX_ONLY
@pytest.mark.parametrize("serving, tries", [("handler busy in a hook", 1), ("served by the loop", 100)])
@each_python()
def test_switching_on_drops_masters_that_came_back_from_the_same_port(python, serving, tries, holdbank_only,
                                                                      tmp_path):
    """A master from an address off the list, admitted while the list was off, resets and comes
    back from the same port: its new connection must stay registered, so the sweep finds it."""
    body = "SERVING, TRIES = %r, %d\n" % (serving, tries) + COMING_BACK + SWEPT_AFTER_COMING_BACK
    check_child(python, holdbank_only, tmp_path, body, timeout=40)


@LINUX_ONLY
@pytest.mark.parametrize("hook, source", [("CUE_OnAccessDenied", "127.0.0.2"), ("CUE_OnConnect", "127.0.0.1")],
                         ids=["refused-report-hook-fails", "admitted-connect-hook-fails"])
@each_python()
def test_failed_check_leaves_no_entry(python, hook, source, holdbank_only, tmp_path):
    """With the list on, a failing report hook (refused masters) or user connect hook (admitted
    ones) ends the connection and must not leave its entry behind."""
    check_failed_connect_steps(python, holdbank_only, tmp_path, "CLASS_Holdbank_Secured", hook, ["127.0.0.1"], source)
