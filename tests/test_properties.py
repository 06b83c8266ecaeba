"""Arguments and hook values of every kind, fed to every host-facing method of Holdbank,
Cordlink and Socklink: the only outcomes allowed are a result or one of the host's ordinary
exceptions (never a crash, never a SystemError), and the object stays usable afterwards (its
lock free, a well-formed call working).

A crash would take pytest down with it, so each batch runs in a child interpreter with
faulthandler on. The child writes down every call before making it; when the child dies, the
test fails with that call, the signal and the child's last words.
"""
import codecs
import faulthandler
import inspect
import os
import signal
import socket
import struct
import subprocess
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

TESTS = os.path.dirname(os.path.abspath(__file__))
# PROPERTY_SCALE=10 (say) makes every batch try ten times as many examples, for a longer search
# than the test command's.
SCALE = float(os.environ.get("PROPERTY_SCALE", "1"))
# A batch takes seconds. A child that hangs prints every thread's stack and ends itself first,
# then the parent gives up, then the test runner would.
CHILD_WATCHDOG = 45 * max(1.0, SCALE)
BATCH_TIMEOUT = CHILD_WATCHDOG + 10


# --- the parent: one child interpreter per batch -----------------------------------------------

def run_batch(batch, tmp_path):
    trace = tmp_path / "last_call.txt"
    out_path, err_path = tmp_path / "stdout.txt", tmp_path / "stderr.txt"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (TESTS, env.get("PYTHONPATH")) if p)
    code = "import test_properties as t; t.child_main(%r, %r)" % (batch, str(trace))
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        # The child's files (backups, opened paths) land in its own folder.
        try:
            proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", code], cwd=tmp_path, env=env,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=BATCH_TIMEOUT)
            status = proc.returncode
        except subprocess.TimeoutExpired:
            status = None
    if status == 0:
        return
    how = ("did not finish in %d s" % BATCH_TIMEOUT if status is None
           else "killed by %s" % signal.Signals(-status).name if status < 0 else "exit status %d" % status)
    last = trace.read_text(errors="replace") if trace.exists() else "(none)"
    tail = err_path.read_bytes()[-6000:].decode(errors="replace")
    pytest.fail("batch %s: child %s\nlast call: %s\n--- child stderr (end) ---\n%s" % (batch, how, last, tail),
                pytrace=False)


BATCHES = ["holdbank_methods", "holdbank_served_hooks", "socklink", "cordlink"]


@pytest.mark.timeout(BATCH_TIMEOUT + 5)
@pytest.mark.parametrize("batch", BATCHES)
def test_any_argument_or_hook_gives_a_result_or_an_ordinary_error(batch, tmp_path):
    run_batch(batch, tmp_path)


# --- everything below runs in the child ---------------------------------------------------------

class Trace:
    """The call about to be made, and what the example set up before it (hooks, a stand-in
    client), kept in a file that survives a crash of this process."""

    fd = None
    setting = ""

    @classmethod
    def open(cls, path):
        cls.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)

    @classmethod
    def set_up(cls, text):
        cls.setting = text
        cls.note("")

    @classmethod
    def note(cls, text):
        if cls.fd is not None:
            data = ("%s\n  %s" % (cls.setting, text) if cls.setting else text).encode("utf-8", "backslashreplace")
            os.ftruncate(cls.fd, 0)
            os.pwrite(cls.fd, data, 0)


def describe(v, depth=0):
    """A text for the trace that never runs a hostile method."""
    if isinstance(v, Hostile):
        return v.description
    if isinstance(v, HostileText):
        return "HostileText(%r)" % str.__str__(v)
    if isinstance(v, Later):
        return repr(v)
    if isinstance(v, FakeClient):
        return "FakeClient(connect=%s, answer=%s)" % (describe(v.connected, depth + 1), describe(v.answer, depth + 1))
    if isinstance(v, FakeResponse):
        return "FakeResponse(isError=%s, registers=%s, text=%s)" % (
            describe(v.verdict, depth + 1), describe(v._registers, depth + 1), describe(v.text, depth + 1))
    if depth > 3:
        return "..."
    if type(v) in (list, tuple):
        inner = ", ".join(describe(x, depth + 1) for x in v)
        return "[%s]" % inner if type(v) is list else "(%s)" % inner
    if type(v) is dict:
        return "{%s}" % ", ".join("%s: %s" % (describe(k, depth + 1), describe(x, depth + 1)) for k, x in v.items())
    if type(v) in (int, float, str, bytes, bool, type(None)):
        r = repr(v)
        return r if len(r) <= 300 else r[:300] + "..."
    return "<%s>" % type(v).__name__


class Broken(AssertionError):
    """A SystemError, or an object left unusable."""


def attempt(what, fn, args=(), kwargs=None):
    """Calls fn; a result or an ordinary exception is fine, a SystemError is not. Errors of
    other kinds (not Exception) pass through and fail the batch. (The arguments come as a
    tuple and a dict: a keyword of the call must never meet this function's own parameters.)"""
    kwargs = kwargs or {}
    Trace.note("%s(%s)" % (what, ", ".join([describe(a) for a in args] +
                                           ["%s=%s" % (k if type(k) is str else describe(k), describe(v))
                                            for k, v in kwargs.items()])))
    try:
        return fn(*args, **kwargs)
    except SystemError as e:
        raise Broken("%s raised SystemError: %s" % (what, str(e))) from None
    except Exception:
        return None


# --- hostile values ----------------------------------------------------------------------------

class Refused(Exception):
    """What a hostile method raises."""


class TextlessError(Exception):
    """An error whose text cannot be had: reporting it fails too."""

    def __str__(self):
        raise Refused("no text")


ERRORS = [Refused, TextlessError, TypeError, KeyError, StopIteration, MemoryError, RecursionError]


class Hostile:
    """Base of objects whose dunders (a chosen set) raise; the others behave plainly."""

    raising = frozenset()
    index = 3
    description = "Hostile"

    def _repr_pretty_(self, printer, cycle):
        # how hypothesis shows it in a report, whatever __repr__ does
        printer.text(self.description)


def _raiser(name, error):
    def method(self, *args, **kwargs):
        raise error(name)
    return method


# The plain behaviour of each method a hostile object may have; an int-like value that stays
# small or is far too large, so that no bank or buffer of a harmful size is ever built from it.
BEHAVING = {
    "__index__": lambda self: self.index,
    "__int__": lambda self: self.index,
    "__float__": lambda self: float(self.index),
    "__bool__": lambda self: True,
    "__len__": lambda self: 2,
    "__iter__": lambda self: iter((0, 1)),
    "__getitem__": lambda self, key: 0,
    "__contains__": lambda self, item: False,
    "__str__": lambda self: "hostile",
    "__repr__": lambda self: "<hostile>",
    "__format__": lambda self, format_spec: "hostile",
    "__eq__": lambda self, other: self is other,
    "__ne__": lambda self, other: self is not other,
    "__hash__": lambda self: 7,
    "__lt__": lambda self, other: NotImplemented,
    "__le__": lambda self, other: NotImplemented,
    "__gt__": lambda self, other: NotImplemented,
    "__ge__": lambda self, other: NotImplemented,
    "__add__": lambda self, other: NotImplemented,
    "__radd__": lambda self, other: NotImplemented,
    "__sub__": lambda self, other: NotImplemented,
    "__rsub__": lambda self, other: NotImplemented,
    "__mul__": lambda self, other: NotImplemented,
    "__rmul__": lambda self, other: NotImplemented,
    "__and__": lambda self, other: NotImplemented,
    "__rand__": lambda self, other: NotImplemented,
    "__fspath__": lambda self: "hostile-path",
    "encode": lambda self, *a, **k: b"hostile" if self.index >= 0 else "not bytes",
    "decode": lambda self, *a, **k: "hostile",
}
INDEX_VALUES = [0, 1, 3, 16, -1, -7, 65535, 65536, 2**62, 2**63, 2**64 + 1, -2**70]


def make_hostile(raising, error, index, liar, callable_):
    namespace = {name: (_raiser(name, error) if name in raising else fn) for name, fn in BEHAVING.items()}
    if liar:  # equal to everything: passes for any dtype, codec name or key it is compared with
        namespace["__eq__"] = lambda self, other: True
        namespace["__ne__"] = lambda self, other: False
    if callable_:
        namespace["__call__"] = _raiser("__call__", error) if "__call__" in raising else (lambda self, *a: None)
    namespace["raising"] = frozenset(raising)
    namespace["index"] = index
    namespace["description"] = "Hostile(raising=%s, error=%s, index=%r%s%s)" % (
        sorted(raising), error.__name__, index, ", liar" if liar else "", ", callable" if callable_ else "")
    return type("Hostile", (Hostile,), namespace)()


class HostileText(str):
    """A text whose comparisons raise (its hash is the text's)."""

    def __eq__(self, other):
        raise Refused("text eq")

    __ne__ = __eq__
    __hash__ = str.__hash__


class Later:
    """A value made only when the call is made: hypothesis's shrinker would take a str subclass
    it had drawn for one of its own texts."""

    def __init__(self, make, arg):
        self.make, self.arg = make, arg

    def __repr__(self):
        return "%s(%r)" % (self.make.__name__, self.arg)

    def _repr_pretty_(self, printer, cycle):
        printer.text(repr(self))


def realize(v):
    if isinstance(v, Later):
        return v.make(v.arg)
    if type(v) in (list, tuple):
        return type(v)(realize(x) for x in v)
    if type(v) is dict:
        out = {}
        for k, x in v.items():
            try:
                out[realize(k)] = realize(x)
            except Refused:
                pass  # a hostile text beside the plain one it equals: no dict can hold both
        return out
    return v


def later_text(text):
    return st.builds(Later, st.just(HostileText), text)


@st.composite
def hostiles(draw):
    names = sorted(BEHAVING) + ["__call__"]
    raising = draw(st.one_of(st.just(frozenset(names)), st.frozensets(st.sampled_from(names), min_size=1)))
    return make_hostile(raising, draw(st.sampled_from(ERRORS)), draw(st.sampled_from(INDEX_VALUES)),
                        draw(st.booleans()), draw(st.booleans()))


SURROGATES_AND_FRIENDS = "\ud800\udc80\udfff\x00\x7f\xe9\u4e2d\u20ac\U0001f600\ufffe"
texts = st.text(st.one_of(st.characters(), st.sampled_from(SURROGATES_AND_FRIENDS)), max_size=24)
EDGE_INTS = [0, 1, -1, 127, 128, 255, 256, 32767, 32768, 65535, 65536, 2**31 - 1, 2**31, 2**32 - 1, 2**32,
             2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64, 10**100, -10**100]
ENCODINGS = ["utf-8", "big5", "ascii", "latin-1", "utf-16", "utf-32-be", "utf_8_sig", "cp950", "idna",
             "punycode", "unicode_escape", "raw_unicode_escape", "hex", "base64", "rot13", "zlib", "bz2",
             "uu", "undefined", "mbcs", "no-such-codec", "", " utf-8 ", "UTF8", "utf-8\x00", "\udc80",
             "\u4e2d\u6587", "x" * 300, "hostile_raising", "hostile_wrong_type", "hostile_subclass"]
DTYPES = ["UINT16", "INT16", "UINT32", "INT32", "FLOAT", "STRING", "uint16", "", "FLOAT\x00", "\udc80"]
odd_texts = later_text(st.sampled_from(["UINT16", "utf-8", "STRING", "127.0.0.1", "addr"]))

SCALAR_KINDS = [
    st.none(),
    st.booleans(),
    st.integers(),
    st.sampled_from(EDGE_INTS),
    st.floats(allow_nan=True, allow_infinity=True),
    texts,
    st.binary(max_size=24),
    st.sampled_from(ENCODINGS + DTYPES),
    odd_texts,
    hostiles(),
    hostiles(),
]
scalars = st.one_of(*SCALAR_KINDS)


def containing(inner):
    return st.one_of(st.lists(inner, max_size=4), st.tuples(inner, inner),
                     st.dictionaries(st.one_of(st.integers(), texts), inner, max_size=3))


# Each kind of scalar as likely as a container (a container of containers now and then).
anything = st.one_of(*SCALAR_KINDS, containing(st.recursive(scalars, containing, max_leaves=4)))


class HostileCodecs:
    """Codecs registered in the child under names that are not the host's own."""

    class Bytes(bytes):
        pass

    class Text(str):
        def __eq__(self, other):
            raise Refused("decoded text eq")
        __hash__ = str.__hash__

    @classmethod
    def search(cls, name):
        def raising(*args):
            raise Refused("codec")
        if name == "hostile_raising":
            return codecs.CodecInfo(raising, raising, name=name)
        if name == "hostile_wrong_type":
            return codecs.CodecInfo(lambda s, errors="strict": ("not bytes", len(s)),
                                    lambda b, errors="strict": (b"not text", len(b)), name=name)
        if name == "hostile_subclass":
            return codecs.CodecInfo(lambda s, errors="strict": (cls.Bytes(b"\x00ab"), len(s)),
                                    lambda b, errors="strict": (cls.Text("\x00a\x00"), len(b)), name=name)
        return None


# --- calls --------------------------------------------------------------------------------------

PLAUSIBLE_INT = st.one_of(st.integers(-3, 20), st.sampled_from(EDGE_INTS))


def plausible(param):
    """Values that get past the first checks, so that calls go deep into a method."""
    table = {
        "addr": PLAUSIBLE_INT, "reg": PLAUSIBLE_INT, "start": PLAUSIBLE_INT, "end": PLAUSIBLE_INT,
        "Pmi_REG_Addr": st.integers(-1, 110), "length": st.integers(-2, 20), "Pmi_Len": st.integers(-2, 130),
        "count": st.integers(-2, 130), "value": PLAUSIBLE_INT, "val": PLAUSIBLE_INT,
        "Pmi_Value": st.one_of(st.integers(-1, 70000), st.sampled_from(EDGE_INTS)),
        "Pmf_Value": st.floats(allow_nan=True, allow_infinity=True), "text": texts, "Pms_Value": texts,
        "encoding": st.sampled_from(ENCODINGS), "dtype": st.sampled_from(DTYPES),
        "ip": st.sampled_from(["127.0.0.1", "127.0.0.9"]), "ip_addr": st.sampled_from(["127.0.0.1", "127.0.0.9"]),
        "Pms_IP": st.sampled_from(["127.0.0.1", "127.0.0.9"]),
        "full_address": st.sampled_from(["127.0.0.9:1", "127.0.0.9:2", "127.0.0.1:3"]),
        "full_addr": st.sampled_from(["127.0.0.9:1", "127.0.0.9:2", "127.0.0.1:3"]),
        "sock": st.builds(socket.socket), "Pms_Active": st.booleans(), "slave": st.integers(0, 4),
        "size": st.integers(-3, 64), "filename": texts, "Pms_IniFile": texts, "reg_log_filename": texts,
        "port": st.sampled_from([0, -1, 65536]),
    }
    table.update(PEER_VALUES)
    return table.get(param, anything)


# Arguments of CUF_Open that reach the batch's own peer (set by the batch).
PEER_VALUES = {}


KEYWORD_NOISE = st.one_of(st.sampled_from(["slave", "self", "bogus", "Pmi_Addr"]), later_text(st.just("addr")))


@st.composite
def calls(draw, params, values):
    """(args, kwargs): usually the right parameters, sometimes too few, too many or odd keywords."""
    shape = draw(st.sampled_from(["positional", "positional", "keywords", "mixed", "odd"]))
    def value(param):
        return draw(st.one_of(plausible(param), values))
    if shape == "positional":
        n = draw(st.integers(sum(1 for p in params if p[1]), len(params)))
        return [value(p[0]) for p in params[:n]], {}
    if shape == "keywords":
        return [], {p[0]: value(p[0]) for p in params if p[1] or draw(st.booleans())}
    if shape == "mixed":
        n = draw(st.integers(0, len(params)))
        return [value(p[0]) for p in params[:n]], {p[0]: value(p[0]) for p in params[n:]}
    args = draw(st.lists(values, max_size=len(params) + 2))
    own = [st.sampled_from([p[0] for p in params])] if params else []
    names = draw(st.lists(st.one_of(*own, KEYWORD_NOISE), max_size=3))
    return args, {name: draw(values) for name in names}


def parameters(fn):
    """(name, required) of each parameter but self."""
    return [(p.name, p.default is inspect.Parameter.empty)
            for p in inspect.signature(fn).parameters.values() if p.name != "self"]


# Values that must never reach certain parameters: a small int (or an object that converts to
# one) is a descriptor to the host's file and socket functions, a text that is a host name
# makes the resolver go out to the network, a path with a folder may name any file.

def could_name_descriptor(v):
    if isinstance(v, int):
        return 0 <= v < 2**16
    return isinstance(v, Hostile) and "__index__" not in v.raising and 0 <= v.index < 2**16


def names_a_path_elsewhere(v):
    if isinstance(v, str):
        v = str.__str__(v)  # a plain copy: the checks here must not run a hostile method
        return "/" in v or "://" in v or v in (".", "..")
    if isinstance(v, bytes):
        return b"/" in v or v in (b".", b"..")
    return False


LOOPBACK = {"127.0.0.1", "127.0.0.9"}


def is_host_name(v):
    if isinstance(v, str):
        return str.__str__(v) not in LOOPBACK
    return isinstance(v, (bytes, bytearray))


def call_is_safe(call, unsafe):
    args, kwargs = realize(call)
    return not any(unsafe(v) for v in list(args) + list(kwargs.values()))


def too_big_a_bank(v):
    return isinstance(v, int) and 10**6 <= v < 2**62


def unsafe_for(cls_name, method):
    """What must not reach `method`, beyond what no method may get."""
    if method == "__init__":
        return lambda v: too_big_a_bank(v) or names_a_path_elsewhere(v)
    if method in ("CUF_SaveToFile", "CUF_LoadFromFile"):
        return lambda v: could_name_descriptor(v) or names_a_path_elsewhere(v)
    if method == "CUF_Open" and cls_name in ("CLASS_Holdbank", "CLASS_Holdbank_Secured"):
        # bound on loopback only, never on a port another test may be about to use
        return lambda v: is_host_name(v) or (isinstance(v, int) and 1024 <= v < 2**16)
    return lambda v: False


SETTINGS = dict(deadline=None, database=None, print_blob=True,
                suppress_health_check=list(HealthCheck))
def examples(n):
    return max(1, int(n * SCALE))


# --- hooks ---------------------------------------------------------------------------------------

def returning(*args):
    return None


def raising(*args):
    raise Refused("hook")


def raising_textless(*args):
    raise TextlessError()


class CallableRaising:
    def __call__(self, *args):
        raise Refused("callable object")


PLAIN_HOOKS = [None, 0, "", False, [], 1, "hook", [1], b"x", returning, raising, raising_textless,
               lambda: None, lambda a, b, c, d, e, f: None, CallableRaising(), print, int, Refused]


def hook_values(reentrant_kinds):
    """A hook as drawn: a plain value, a hostile object, or a kind of hook that calls back into
    its own object (made once the object exists)."""
    return st.one_of(st.sampled_from(PLAIN_HOOKS), hostiles(), st.sampled_from(reentrant_kinds))


def materialize(drawn, target, reentrant):
    if isinstance(drawn, str) and drawn in reentrant:
        return reentrant[drawn](target)
    return drawn


# --- Holdbank -------------------------------------------------------------------------------------

HOLDBANK_HOOKS = ["CUE_OnConnect", "CUE_OnDisconnect", "CUE_OnRead", "CUE_OnWrite", "CUE_OnWriteDenied"]
SECURED_HOOKS = HOLDBANK_HOOKS + ["CUE_OnAccessDenied"]
SERVER_CALLED = ["_is_writable", "_on_read", "_on_write", "_on_write_denied", "_on_client_connect",
                 "_on_client_disconnect"]


def bank_reentrant():
    """Hooks that call back into their bank (a hook under the bank lock included)."""
    def dropping(b):
        return lambda *a: b.CUF_DisconnectClient(a[-1] if a else "")
    return {
        "re:registers": lambda b: lambda *a: (b.CUF_REG_Write(1, 2), b.CUF_REG_Read(1), b.CUF_REG_Dump(0, 3, "INT32"),
                                              b.CUF_REG_WriteSTR(4, "ab"), b.CUF_REG_ReadSTR(4, 1)),
        "re:registry": lambda b: lambda *a: (b.CUF_ListConnections(), b.CUF_DisconnectClient("127.0.0.9:1")),
        "re:drop": dropping,
        "re:save": lambda b: lambda *a: b.CUF_SaveToFile("reentrant.json"),
        "re:load": lambda b: lambda *a: b.CUF_LoadFromFile("reentrant.json"),
        "re:writable": lambda b: lambda *a: b._is_writable(a[1] if len(a) > 1 else 0),
        "re:recursing": lambda b: lambda *a: b._on_read(*a) if len(a) == 3 else b._on_client_disconnect(a[-1]),
    }


def assert_bank_usable(b):
    if b.lock.locked():
        raise Broken("the bank lock is left held")
    if not (b.CUF_REG_Write(3, 4242) is True and b.CUF_REG_Read(3) == 4242):
        raise Broken("a well-formed write and read no longer work")


def quiet_bank(b, hooks):
    for name in hooks:
        setattr(b, name, None)


def fake_connections(b):
    """Two registered masters whose sockets never connected: dropping them is harmless."""
    for full in ("127.0.0.9:1", "127.0.0.9:2"):
        b._on_client_connect("127.0.0.9", full, socket.socket())


def holdbank_method_property(Holdbank, cls, name):
    reentrant = bank_reentrant()
    hooks = SECURED_HOOKS if cls is Holdbank.CLASS_Holdbank_Secured else HOLDBANK_HOOKS
    unsafe = unsafe_for(cls.__name__, name)
    params = parameters(getattr(cls, name))
    what = "%s.%s" % (cls.__name__, name)

    @settings(max_examples=examples(8 if name == "CUF_Open" else 30), **SETTINGS)
    @given(call=calls(params, anything).filter(lambda c: call_is_safe(c, unsafe)),
           drawn_hooks=st.fixed_dictionaries({h: hook_values(sorted(reentrant)) for h in hooks}),
           switch=st.one_of(st.booleans(), st.none(), hostiles()),
           listed=st.one_of(st.sampled_from(["127.0.0.1", "127.0.0.9"]), later_text(st.just("127.0.0.9"))))
    def prop(call, drawn_hooks, switch, listed):
        call, listed = realize(call), realize(listed)
        Trace.set_up("%s with hooks %s, allow-list %s switched by %s" % (
            cls.__name__, {h: describe(v) for h, v in drawn_hooks.items()}, describe(listed), describe(switch)))
        b = cls(16, "bank.json")
        b.CUF_Set_ReadWriteRange(0, 9)
        b.CUF_Set_ReadOnlyRange(10, 15)
        fake_connections(b)
        for hook, drawn in drawn_hooks.items():
            attempt("set " + hook, setattr, (b, hook, materialize(drawn, b, reentrant)))
        if cls is Holdbank.CLASS_Holdbank_Secured:
            attempt("CUF_AllowIP_Add", b.CUF_AllowIP_Add, (listed,))
            attempt("CUF_AllowIP_Active", b.CUF_AllowIP_Active, (switch,))
        args, kwargs = call
        attempt(what, getattr(b, name), args, kwargs)
        if b.lock.locked():
            raise Broken("%s left the bank lock held" % what)
        quiet_bank(b, hooks)
        if b.server_net is not None:
            b.CUF_Close()
        assert_bank_usable(b)

    prop()


def holdbank_constructor_property(cls):
    unsafe = unsafe_for(cls.__name__, "__init__")

    @settings(max_examples=examples(60), **SETTINGS)
    @given(call=calls(parameters(cls.__init__), anything).filter(lambda c: call_is_safe(c, unsafe)))
    def prop(call):
        args, kwargs = realize(call)
        Trace.set_up("")
        b = attempt(cls.__name__, cls, args, kwargs)
        if b is not None:
            if b.lock.locked():
                raise Broken("a new bank has its lock held")
            if b.CUF_ListConnections() != []:
                raise Broken("a new bank has connections")

    prop()


# What a host script may put in a bank's public attributes, beyond values of every kind: lists
# too short or holding what no register can, locks of other kinds, ranges of odd shapes.
ATTRIBUTE_VALUES = [
    lambda: [0] * 3, lambda: [70000] * 16, lambda: [-1] * 16, lambda: ["x"] * 16, lambda: [0.5] * 16,
    lambda: tuple(range(16)), lambda: {i: i for i in range(16)}, lambda: 10**30, lambda: -1, lambda: 2**63,
    lambda: 16.0, lambda: threading.Lock(), lambda: threading.RLock(), lambda: [(0, 2**70)],
    lambda: [("a", "b")], lambda: [None], lambda: [(1, 2, 3)], lambda: [(0, 1)] * 1000, lambda: {"a": 1},
    lambda: set(), lambda: ["127.0.0.1"], lambda: [[0, 15]],
]
BANK_ATTRIBUTES = ["size", "hr", "lock", "ro_ranges", "rw_ranges", "active_connections", "default_backup_file",
                   "server_net"]
SECURED_ATTRIBUTES = BANK_ATTRIBUTES + ["_allow_ip_list", "_allow_ip_active", "_user_on_connect"]
attribute_values = st.one_of(anything, st.integers(0, len(ATTRIBUTE_VALUES) - 1).map(lambda i: ATTRIBUTE_VALUES[i]()))


def well_formed_bank_calls(b, secured):
    calls = [
        ("CUF_REG_Read", (1,)), ("CUF_REG_Write", (1, 2)), ("CUF_REG_WriteSTR", (0, "ab")),
        ("CUF_REG_ReadSTR", (0, 2)), ("_is_writable", (3,)), ("CUF_SaveToFile", ("attribute.json",)),
        ("CUF_LoadFromFile", ("attribute.json",)), ("CUF_ListConnections", ()),
        ("CUF_DisconnectClient", ("127.0.0.9:1",)), ("_on_client_connect", ("127.0.0.9", "127.0.0.9:3", None)),
        ("_on_client_disconnect", ("127.0.0.9:3",)), ("_on_read", ("127.0.0.9", 1, 2)), ("CUF_Close", ()),
    ] + [("CUF_REG_Dump", (0, 3, dtype)) for dtype in DTYPES[:6]]
    if secured:
        calls += [("CUF_AllowIP_Add", ("127.0.0.1",)), ("CUF_AllowIP_Active", (True,)),
                  ("_internal_security_check", ("127.0.0.9", "127.0.0.9:1")), ("CUF_AllowIP_Active", (False,))]
    return calls


def holdbank_attribute_property(Holdbank, cls):
    """Every well-formed call on a bank one of whose attributes the host script replaced."""
    secured = cls is Holdbank.CLASS_Holdbank_Secured
    names = SECURED_ATTRIBUTES if secured else BANK_ATTRIBUTES

    def saves_elsewhere(choice):  # CUF_Close saves the bank to default_backup_file
        return choice[0] == "default_backup_file" and names_a_path_elsewhere(realize(choice[1]))

    @settings(max_examples=examples(80), **SETTINGS)
    @given(choice=st.tuples(st.sampled_from(names), attribute_values).filter(lambda c: not saves_elsewhere(c)))
    def prop(choice):
        name, value = choice[0], realize(choice[1])
        b = cls(16, "bank.json")
        fake_connections(b)
        lock = b.lock
        original = getattr(b, name)
        Trace.set_up("%s.%s = %s" % (cls.__name__, name, describe(value)))
        attempt("set " + name, setattr, (b, name, value))
        for method, args in well_formed_bank_calls(b, secured):
            attempt("%s.%s" % (cls.__name__, method), getattr(b, method), args)
            if lock.locked():
                raise Broken("%s left the bank lock held (%s = %s)" % (method, name, describe(value)))
        setattr(b, name, original)
        quiet_bank(b, SECURED_HOOKS if secured else HOLDBANK_HOOKS)
        if secured:
            b.CUF_AllowIP_Active(False)
        assert_bank_usable(b)

    prop()


def unbound_property(cls, name, strangers, unsafe):
    """The method taken from its class and given something else than an instance of it."""
    fn = getattr(cls, name)
    params = parameters(fn)

    @settings(max_examples=examples(15), **SETTINGS)
    @given(stranger=st.one_of(anything, st.integers(0, len(strangers) - 1).map(lambda i: strangers[i]())),
           call=calls(params, anything).filter(lambda c: call_is_safe(c, unsafe)))
    def prop(stranger, call):
        args, kwargs = realize(call)
        Trace.set_up("")
        attempt("%s.%s unbound" % (cls.__name__, name), fn, (realize(stranger),) + tuple(args), kwargs)

    prop()


def holdbank_methods():
    import Cordlink
    import Holdbank
    strangers = [object, Cordlink.CLASS_Cordlink, lambda: Holdbank.CLASS_Holdbank(4, "stranger.json"),
                 lambda: Holdbank.CLASS_SocklinkWorker.__new__(Holdbank.CLASS_SocklinkWorker)]
    for cls in (Holdbank.CLASS_Holdbank, Holdbank.CLASS_Holdbank_Secured):
        for name in [n for n in vars(cls) if n != "CUF_Open" and callable(vars(cls)[n])]:
            unbound_property(cls, name, strangers, unsafe_for(cls.__name__, name))
    for cls in (Holdbank.CLASS_Holdbank, Holdbank.CLASS_Holdbank_Secured):
        holdbank_constructor_property(cls)
        holdbank_attribute_property(Holdbank, cls)
        names = [n for n in vars(Holdbank.CLASS_Holdbank) if n.startswith("CUF_")] + SERVER_CALLED
        if cls is Holdbank.CLASS_Holdbank_Secured:
            names += [n for n in vars(cls) if n.startswith("CUF_")] + ["_internal_security_check"]
        for name in names:
            holdbank_method_property(Holdbank, cls, name)


# The requests of one master: reads, an accepted and a refused single write, an accepted and a
# refused multiple write, a read too long to answer, a function the server does not know.
REQUESTS = [
    struct.pack(">BHH", 3, 0, 4),
    struct.pack(">BHH", 6, 1, 77),
    struct.pack(">BHH", 6, 12, 1),
    struct.pack(">BHHB", 16, 0, 2, 4) + struct.pack(">HH", 5, 6),
    struct.pack(">BHHB", 16, 8, 4, 8) + bytes(8),
    struct.pack(">BHH", 3, 0, 130),
    bytes([0x2B, 0, 0]),
]


def mbap(pdu, tx_id):
    return struct.pack(">HHHB", tx_id, 0, len(pdu) + 1, 1) + pdu


def recv_answers(sock, count):
    """Reads up to `count` answer frames; stops early when the server closes the connection."""
    data = b""
    frames = []
    while len(frames) < count:
        try:
            chunk = sock.recv(4096)
        except (ConnectionError, socket.timeout, OSError):
            return frames
        if not chunk:
            return frames
        data += chunk
        while len(data) >= 7:
            length = struct.unpack(">H", data[4:6])[0]
            if len(data) < 6 + length:
                break
            frames.append(data[: 6 + length])
            data = data[6 + length:]
    return frames


# What the host says when native code breaks its calling rules: the texts of its SystemErrors.
SYSTEM_ERROR_TEXTS = ("without setting an exception", "with an exception set", "without exception set",
                      "bad argument to internal function", "unknown opcode")


class ConnectionErrors:
    """The errors the banks' connections ended with, as the server reports them: the ones that
    leave a connection's handler (through the listener) and the ones that end its request loop
    (the module logger's DEBUG lines)."""

    def __init__(self, Holdbank):
        from conftest import ModuleLog
        self.types = []
        self.log = ModuleLog("Holdbank").attach(propagate=False)
        errors = self
        Holdbank.ThreadedSocklinkServer.handle_error = lambda server, request, address: errors.types.append(
            sys.exc_info()[0])

    def check(self):
        system = [t for t in self.types if issubclass(t, SystemError)]
        system_lines = [line for line in self.log.lines() if any(text in line for text in SYSTEM_ERROR_TEXTS)]
        self.types.clear()
        self.log.records.clear()
        if system or system_lines:
            raise Broken("a connection ended with a SystemError: %r %r" % (system, system_lines))


def holdbank_served_hooks():
    """Hooks of every kind on listening banks, fired by real masters' requests on loopback."""
    import Holdbank
    from conftest import free_port, wait_until
    reentrant = bank_reentrant()
    errors = ConnectionErrors(Holdbank)
    banks = []
    for cls in (Holdbank.CLASS_Holdbank, Holdbank.CLASS_Holdbank_Secured):
        b = cls(16, "served.json")
        b.CUF_Set_ReadWriteRange(0, 9)
        b.CUF_Set_ReadOnlyRange(10, 15)
        port = free_port()
        b.CUF_Open("127.0.0.1", port)
        banks.append((b, port))
    baseline = threading.active_count()

    def master(port):
        s = socket.create_connection(("127.0.0.1", port), timeout=2)
        s.settimeout(2)
        return s

    @settings(max_examples=examples(300), **SETTINGS)
    @given(which=st.sampled_from([0, 1]),
           drawn_hooks=st.fixed_dictionaries({h: hook_values(sorted(reentrant)) for h in SECURED_HOOKS}),
           switch=st.booleans(), listed=st.booleans(),
           replaced=st.one_of(st.none(), st.tuples(st.sampled_from(BANK_ATTRIBUTES[:-2]), attribute_values)))
    def prop(which, drawn_hooks, switch, listed, replaced):
        b, port = banks[which]
        secured = isinstance(b, Holdbank.CLASS_Holdbank_Secured)
        originals = {name: getattr(b, name) for name in BANK_ATTRIBUTES}
        for hook, drawn in drawn_hooks.items():
            if hook != "CUE_OnAccessDenied" or secured:
                attempt("set " + hook, setattr, (b, hook, materialize(drawn, b, reentrant)))
        if secured:
            if listed:
                b.CUF_AllowIP_Add("127.0.0.1")
            attempt("CUF_AllowIP_Active", b.CUF_AllowIP_Active, (switch,))
        if replaced is not None:
            replaced = (replaced[0], realize(replaced[1]))
            attempt("set " + replaced[0], setattr, (b, replaced[0], replaced[1]))
        Trace.set_up("served %s with hooks %s, switch=%s, listed=%s, replaced %s" % (
            type(b).__name__, {h: describe(v) for h, v in drawn_hooks.items()}, switch, listed,
            replaced and (replaced[0], describe(replaced[1]))))
        with master(port) as m:
            try:
                m.sendall(b"".join(mbap(pdu, i) for i, pdu in enumerate(REQUESTS)))
            except OSError:
                pass  # refused and dropped before the requests went out
            recv_answers(m, len(REQUESTS))
        if not wait_until(lambda: threading.active_count() <= baseline, interval=0.002, fail=False):
            raise Broken("a connection's thread did not end")
        errors.check()
        for name, value in originals.items():
            setattr(b, name, value)
        quiet_bank(b, SECURED_HOOKS if secured else HOLDBANK_HOOKS)
        if secured:
            b.CUF_AllowIP_Active(False)
        if b.lock.locked():
            raise Broken("the bank lock is left held")
        with master(port) as m:
            m.sendall(mbap(struct.pack(">BHH", 6, 2, 4321), 1) + mbap(struct.pack(">BHH", 3, 2, 1), 2))
            answers = recv_answers(m, 2)
        if [a[7:] for a in answers] != [struct.pack(">BHH", 6, 2, 4321), struct.pack(">BBH", 3, 2, 4321)]:
            raise Broken("the bank no longer serves a well-formed request: %r" % answers)
        wait_until(lambda: threading.active_count() <= baseline, interval=0.002, fail=False)

    try:
        prop()
    finally:
        for b, _ in banks:
            b.CUF_Close()


# --- Cordlink and Socklink ------------------------------------------------------------------------

CLIENT_HOOKS = ["CUE_OnConnect", "CUE_OnConnecting", "CUE_OnDisconnect", "CUE_OnError", "CUE_OnPacketREAD",
                "CUE_OnPacketWRITE"]


_inside_hook = threading.local()


def one_level(call):
    """A hook that calls back once: a call made from inside it does not call back again. (A
    master's hooks that re-enter without end, on both its guarded and its reporting paths, make
    a number of requests that grows exponentially with the recursion limit.)"""
    def hook(*args):
        if getattr(_inside_hook, "active", False):
            return None
        _inside_hook.active = True
        try:
            return call(*args)
        finally:
            _inside_hook.active = False
    return hook


TAKEN_CLIENTS = []


def take_client(link, replacement):
    """Puts something else in the master's `client` while it may be in use. The script that does
    this keeps the client it took: an open serial port stays locked until it is closed."""
    TAKEN_CLIENTS.append(link.client)
    link.client = replacement


def link_reentrant(endpoint, unbounded=False):
    """Hooks that call back into their master, or take its client away."""
    kinds = {
        "re:close": lambda link: one_level(lambda *a: link.CUF_Close()),
        "re:read": lambda link: one_level(lambda *a: link._read_raw(0, 1)),
        "re:write": lambda link: one_level(lambda *a: link.CUF_Write_HR_int(0, 1)),
        "re:typed": lambda link: one_level(lambda *a: (link.CUF_Read_HR_long(0, 1), link.CUF_Read_HR_str(0, 1))),
        "re:reopen": lambda link: one_level(lambda *a: link.CUF_Open(*endpoint)),
        "re:no-client": lambda link: lambda *a: take_client(link, None),
        "re:hostile-client": lambda link: lambda *a: take_client(link, make_hostile(
            frozenset(BEHAVING) | {"__call__"}, Refused, 0, False, True)),
    }
    if unbounded:  # only where no request can go out: down to the recursion limit and back
        del kinds["re:reopen"]
        kinds["re:recursing"] = lambda link: lambda *a: link._read_raw(0, 1)
    return kinds


class Peer:
    """What the masters talk to in a batch: where to open, and addresses that work or fail."""

    def __init__(self, endpoint, refused_read, refused_write, closed_endpoint):
        self.endpoint = endpoint            # arguments of CUF_Open that connect
        self.refused_read = refused_read    # an address whose read gets an error answer
        self.refused_write = refused_write  # an address whose write gets an error answer
        self.closed_endpoint = closed_endpoint  # arguments of CUF_Open that cannot connect


def well_formed_ops(link, peer, slave):
    """Every operation once with arguments that work, and the error answers of the peer."""
    kw = {"slave": 1} if slave else {}
    return [
        ("_read_raw", link._read_raw, (0, 4), kw),
        ("CUF_Read_HR_int", link.CUF_Read_HR_int, (0, 4), kw),
        ("CUF_Read_HR_long", link.CUF_Read_HR_long, (0, 2), kw),
        ("CUF_Read_HR_double", link.CUF_Read_HR_double, (0, 2), kw),
        ("CUF_Read_HR_str", link.CUF_Read_HR_str, (0, 2), kw),
        ("CUF_Read_HR_int", link.CUF_Read_HR_int, (peer.refused_read, 1), kw),
        ("CUF_Write_HR_int", link.CUF_Write_HR_int, (0, 5), kw),
        ("CUF_Write_HR_long", link.CUF_Write_HR_long, (0, 305419896), kw),
        ("CUF_Write_HR_double", link.CUF_Write_HR_double, (0, 3.14), kw),
        ("CUF_Write_HR_str", link.CUF_Write_HR_str, (0, "ABC"), kw),
        ("CUF_Write_HR_int", link.CUF_Write_HR_int, (peer.refused_write, 5), kw),
    ]


def assert_link_usable(link, peer, slave):
    for hook in CLIENT_HOOKS:
        setattr(link, hook, None)
    while TAKEN_CLIENTS:
        taken = TAKEN_CLIENTS.pop()
        if taken is not None and not isinstance(taken, Hostile):
            taken.close()
    kw = {"slave": 1} if slave else {}
    if link.CUF_Open(*peer.endpoint) is not True:
        raise Broken("the master no longer opens")
    if link.CUF_Write_HR_int(3, 4321, **kw) is not True or link.CUF_Read_HR_int(3, 1, **kw) != [4321]:
        raise Broken("a well-formed write and read no longer work")


def assert_new_link_behaviour(link):
    for hook in CLIENT_HOOKS:
        setattr(link, hook, None)
    reports = []
    link.CUE_OnError = reports.append
    if link.CUF_Read_HR_int(0, 1) != [] or len(reports) != 1 or not reports[0].startswith("Exception: "):
        raise Broken("a never-opened master no longer reports its failed read: %r" % reports)
    link.CUE_OnError = None


def link_method_properties(cls, peer, slave):
    names = ["_read_raw"] + [n for n in vars(cls) if n.startswith("CUF_") and n != "CUF_Open"]
    reentrant = link_reentrant(peer.endpoint)
    hooks = st.fixed_dictionaries({h: hook_values(sorted(reentrant)) for h in CLIENT_HOOKS})
    unbounded = link_reentrant(peer.endpoint, unbounded=True)
    hooks_unbounded = st.fixed_dictionaries({h: hook_values(sorted(unbounded)) for h in CLIENT_HOOKS})
    connected = cls()
    assert connected.CUF_Open(*peer.endpoint) is True
    for name in names:
        params = parameters(getattr(cls, name))
        what = "%s.%s" % (cls.__name__, name)

        @settings(max_examples=examples(30), **SETTINGS)
        @given(call=calls(params, anything), drawn_hooks=hooks_unbounded)
        def never_opened(call, drawn_hooks):
            link = cls()
            Trace.set_up("never opened, hooks %s" % {h: describe(v) for h, v in drawn_hooks.items()})
            for hook, drawn in drawn_hooks.items():
                setattr(link, hook, materialize(drawn, link, unbounded))
            args, kwargs = realize(call)
            attempt(what + " (never opened)", getattr(link, name), args, kwargs)
            assert_new_link_behaviour(link)

        @settings(max_examples=examples(30), **SETTINGS)
        @given(call=calls(params, anything), drawn_hooks=hooks)
        def on_a_peer(call, drawn_hooks):
            Trace.set_up("open, hooks %s" % {h: describe(v) for h, v in drawn_hooks.items()})
            for hook, drawn in drawn_hooks.items():
                setattr(connected, hook, materialize(drawn, connected, reentrant))
            args, kwargs = realize(call)
            attempt(what, getattr(connected, name), args, kwargs)
            assert_link_usable(connected, peer, slave)

        never_opened()
        on_a_peer()
    connected.CUF_Close()


def link_open_property(cls, peer, slave, unsafe):
    params = parameters(cls.CUF_Open)
    reentrant = link_reentrant(peer.endpoint)
    link = cls()

    @settings(max_examples=examples(60), **SETTINGS)
    @given(call=calls(params, anything).filter(lambda c: call_is_safe(c, unsafe)),
           drawn_hooks=st.fixed_dictionaries({h: hook_values(sorted(reentrant)) for h in CLIENT_HOOKS}))
    def prop(call, drawn_hooks):
        Trace.set_up("hooks %s" % {h: describe(v) for h, v in drawn_hooks.items()})
        for hook, drawn in drawn_hooks.items():
            setattr(link, hook, materialize(drawn, link, reentrant))
        args, kwargs = realize(call)
        attempt(cls.__name__ + ".CUF_Open", link.CUF_Open, args, kwargs)
        attempt(cls.__name__ + ".CUF_Close", link.CUF_Close)
        assert_link_usable(link, peer, slave)
        link.CUF_Close()

    prop()


def link_hook_property(cls, peer, slave):
    """Every path that fires a hook, on a master that opens, and on one that never does."""
    reentrant = link_reentrant(peer.endpoint)

    @settings(max_examples=examples(60), **SETTINGS)
    @given(drawn_hooks=st.fixed_dictionaries({h: hook_values(sorted(reentrant)) for h in CLIENT_HOOKS}),
           opens=st.sampled_from(["peer", "closed", "never"]))
    def prop(drawn_hooks, opens):
        link = cls()
        for hook, drawn in drawn_hooks.items():
            setattr(link, hook, materialize(drawn, link, reentrant))
        Trace.set_up("%s with hooks %s" % (cls.__name__, {h: describe(v) for h, v in drawn_hooks.items()}))
        if opens != "never":
            attempt("CUF_Open", link.CUF_Open, peer.endpoint if opens == "peer" else peer.closed_endpoint)
        for what, fn, args, kwargs in well_formed_ops(link, peer, slave):
            attempt(what, fn, args, kwargs)
        attempt("CUF_Close", link.CUF_Close)
        attempt("CUF_Close", link.CUF_Close)
        assert_link_usable(link, peer, slave)
        link.CUF_Close()

    prop()


class FakeResponse:
    """An answer of the client package as a host script's stand-in may give it: its verdict, its
    registers and its text may be anything, or fail."""

    def __init__(self, verdict, registers, text):
        self.verdict, self._registers, self.text = verdict, registers, text

    def isError(self):
        if self.verdict == "raise":
            raise Refused("isError")
        return self.verdict

    @property
    def registers(self):
        if isinstance(self._registers, str) and self._registers == "raise":
            raise Refused("registers")
        return self._registers

    def __str__(self):
        if self.text is None:
            raise Refused("response text")
        return self.text


class FakeClient:
    """A stand-in for the package's client, put in place of its class or of a master's client."""

    def __init__(self, connected, answer):
        self.connected, self.answer = connected, answer

    def connect(self):
        if self.connected == "raise":
            raise Refused("connect")
        return self.connected

    def close(self):
        pass

    def _answer(self, **kwargs):
        if self.answer == "raise":
            raise Refused("request")
        return self.answer

    read_holding_registers = write_register = write_registers = _answer


register_lists = st.lists(st.one_of(st.integers(-5, 70000), st.sampled_from(EDGE_INTS), st.booleans(),
                                    st.floats(allow_nan=True, allow_infinity=True), hostiles(), texts), max_size=9)
responses = st.builds(FakeResponse,
                      st.one_of(st.sampled_from([False, True, 0, 1, None, "raise", [], [0]]), hostiles()),
                      st.one_of(register_lists, anything, st.just("raise")),
                      st.sampled_from(["answer", "", None]))
fake_clients = st.builds(FakeClient, st.one_of(st.sampled_from([True, False, None, 0, "raise"]), hostiles()),
                         st.one_of(responses, st.sampled_from([None, 5, "raise"])))


def link_fake_client_property(module, cls, class_name, peer, slave):
    """Every operation, through a stand-in client whose answers may be anything: through the
    package's class (so CUF_Open builds it) and through the master's client attribute."""
    kw = {"slave": 1} if slave else {}
    reentrant = link_reentrant(peer.endpoint)
    real_class = getattr(module, class_name)

    @settings(max_examples=examples(150), **SETTINGS)
    @given(fake=fake_clients, through_class=st.booleans(),
           drawn_hooks=st.fixed_dictionaries({h: hook_values(sorted(reentrant)) for h in CLIENT_HOOKS}),
           encoding=st.sampled_from(ENCODINGS))
    def prop(fake, through_class, drawn_hooks, encoding):
        link = cls()
        for hook, drawn in drawn_hooks.items():
            setattr(link, hook, materialize(drawn, link, reentrant))
        Trace.set_up("%s with a stand-in client %s, hooks %s" % (
            cls.__name__, describe(fake), {h: describe(v) for h, v in drawn_hooks.items()}))
        try:
            if through_class:
                setattr(module, class_name, lambda *a, **k: fake)
                attempt("CUF_Open", link.CUF_Open, peer.endpoint)
            else:
                link.client = fake
            for what, fn, args, kwargs in well_formed_ops(link, peer, slave):
                attempt(what, fn, args, kwargs)
            attempt("CUF_Read_HR_str", link.CUF_Read_HR_str, (0, 3, encoding), kw)
            attempt("CUF_Write_HR_str", link.CUF_Write_HR_str, (0, "AB", encoding), kw)
            attempt("CUF_Close", link.CUF_Close)
        finally:
            setattr(module, class_name, real_class)
        assert_link_usable(link, peer, slave)
        link.CUF_Close()

    prop()


def socklink():
    import Cordlink
    import Holdbank
    import Socklink
    from conftest import free_port
    from master_helpers import SIZE, PymodbusServer
    port = free_port()
    server = PymodbusServer(port)
    try:
        peer = Peer(("127.0.0.1", port), SIZE, SIZE, ("127.0.0.1", free_port()))
        PEER_VALUES.update(Pms_IPAddr=st.just("127.0.0.1"), Pmi_Port=st.sampled_from([port, peer.closed_endpoint[1]]))
        cls = Socklink.CLASS_Socklink
        link_method_properties(cls, peer, slave=False)
        # Connecting only to our own server, a port where nothing listens, or nowhere at all.
        closed = peer.closed_endpoint[1]
        link_open_property(cls, peer, False, lambda v: is_host_name(v) or (
            isinstance(v, int) and 0 < v < 2**16 and v not in (port, closed)) or names_a_path_elsewhere(v))
        link_hook_property(cls, peer, slave=False)
        link_fake_client_property(Socklink, cls, "ModbusTcpClient", peer, slave=False)
        strangers = [object, lambda: Holdbank.CLASS_Holdbank(4, "stranger.json"), Cordlink.CLASS_Cordlink]
        for name in [n for n in vars(cls) if n != "CUF_Open" and callable(vars(cls)[n])]:
            unbound_property(cls, name, strangers, lambda v: False)
    finally:
        server.close()


def cordlink():
    import Cordlink
    import Holdbank
    import Socklink
    from rtu_slave import RtuSlave
    # Every unit answers, so no request waits for the package's time-out.
    line = RtuSlave(units=range(256))
    other = RtuSlave(units=range(256))
    try:
        peer = Peer((line.port, 115200), line.size, line.size, ("missing-port", 115200))
        cls = Cordlink.CLASS_Cordlink
        link_method_properties(cls, peer, slave=True)
        # Port names: the two lines, pyserial's loopback, names in this folder that open nothing,
        # anything that is not a name.
        safe_names = {line.port, other.port, "loop://"}
        PEER_VALUES.update(Pms_PortName=st.sampled_from([other.port, "missing-port", "loop://"]))
        link_open_property(cls, Peer((other.port, 115200), line.size, line.size, peer.closed_endpoint), True,
                           lambda v: names_a_path_elsewhere(v) and v not in safe_names)
        link_hook_property(cls, peer, slave=True)
        link_fake_client_property(Cordlink, cls, "ModbusSerialClient", peer, slave=True)
        strangers = [object, lambda: Holdbank.CLASS_Holdbank(4, "stranger.json"), Socklink.CLASS_Socklink]
        for name in [n for n in vars(cls) if n != "CUF_Open" and callable(vars(cls)[n])]:
            unbound_property(cls, name, strangers, lambda v: False)
    finally:
        line.close()
        other.close()


def child_main(batch, trace_path):
    Trace.open(trace_path)
    # A hang prints every thread's stack and ends the child instead of waiting for the parent.
    faulthandler.dump_traceback_later(CHILD_WATCHDOG, exit=True)
    codecs.register(HostileCodecs.search)
    import logging
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)  # a line for every failed connect
    {"holdbank_methods": holdbank_methods, "holdbank_served_hooks": holdbank_served_hooks,
     "socklink": socklink, "cordlink": cordlink}[batch]()
    Trace.set_up("")
    Trace.note("(batch finished)")
