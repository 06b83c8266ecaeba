"""Opening and closing the server: the listener, its threads, the close order and its messages."""
import json
import logging
import socket
import threading

import pytest

import Holdbank
from conftest import free_port, mbap, recv_frame, wait_until


def test_open_serves_on_a_daemon_thread(tmp_path, port, capsys):
    b = Holdbank.CLASS_Holdbank(10, str(tmp_path / "b.json"))
    assert b.CUF_Open("127.0.0.1", port) is None
    try:
        assert capsys.readouterr().out == "[Holdbank] Server Started on 127.0.0.1:%d\n" % port
        assert isinstance(b.server_net, Holdbank.ThreadedSocklinkServer)
        assert b.server_net.owner is b
        assert isinstance(b.server_thread, threading.Thread)
        assert b.server_thread.daemon and b.server_thread.is_alive()
        assert b.server_net.RequestHandlerClass is Holdbank.CLASS_SocklinkWorker
    finally:
        b.CUF_Close()


def test_open_on_a_taken_port_raises_and_changes_nothing(tmp_path, port, capsys):
    holder = socket.socket()
    holder.bind(("127.0.0.1", port))
    holder.listen()
    try:
        b = Holdbank.CLASS_Holdbank(10, str(tmp_path / "b.json"))
        with pytest.raises(OSError):
            b.CUF_Open("127.0.0.1", port)
        assert capsys.readouterr().out == ""
        assert b.server_net is None and b.server_thread is None
    finally:
        holder.close()


def test_open_defaults_to_every_interface_on_502(tmp_path, capsys):
    b = Holdbank.CLASS_Holdbank(10, str(tmp_path / "b.json"))
    try:
        b.CUF_Open()
    except PermissionError:
        pytest.skip("port 502 needs privileges here")
    except OSError as e:
        pytest.skip("port 502 is taken here: %s" % e)
    try:
        assert b.server_net.server_address == ("0.0.0.0", 502)
        assert capsys.readouterr().out == "[Holdbank] Server Started on 0.0.0.0:502\n"
    finally:
        b.CUF_Close()


def test_close_with_two_masters(tmp_path, port, capsys):
    path = tmp_path / "b.json"
    b = Holdbank.CLASS_Holdbank(3, str(path))
    gone = []
    b.CUE_OnDisconnect = gone.append
    b.CUF_Open("127.0.0.1", port)
    masters = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(2)]
    try:
        fulls = ["127.0.0.1:%d" % m.getsockname()[1] for m in masters]
        wait_until(lambda: sorted(b.CUF_ListConnections()) == sorted(fulls))
        b.hr[1] = 5
        capsys.readouterr()
        b.CUF_Close()
        out = capsys.readouterr().out
        assert out.startswith("[Holdbank] 🔄 Executing safity close procedure...\n")
        assert out.endswith("[Holdbank] 🛑 TCP port was closed。\n")
        assert json.loads(path.read_text())["READ_WRITE"]["1"] == 5
        for m in masters:
            assert m.recv(10) == b""
        wait_until(lambda: sorted(gone) == sorted(fulls))
        # the port is free again at once
        b.CUF_Open("127.0.0.1", port)
        with socket.create_connection(("127.0.0.1", port), timeout=5) as again:
            again.sendall(mbap(b"\x03\x00\x01\x00\x01"))
            assert recv_frame(again)[3] == b"\x03\x02\x00\x05"
        b.CUF_Close()
    finally:
        for m in masters:
            m.close()


def test_close_of_a_server_never_opened_only_saves(tmp_path, capsys):
    path = tmp_path / "b.json"
    b = Holdbank.CLASS_Holdbank(2, str(path))
    assert b.CUF_Close() is None
    out = capsys.readouterr().out
    assert out.startswith("[Holdbank] 🔄 Executing safity close procedure...\n")
    assert "TCP port was closed" not in out
    assert path.exists()


def test_close_twice_repeats_both_lines(tmp_path, port, capsys):
    b = Holdbank.CLASS_Holdbank(2, str(tmp_path / "b.json"))
    b.CUF_Open("127.0.0.1", port)
    b.CUF_Close()
    capsys.readouterr()
    b.CUF_Close()
    out = capsys.readouterr().out
    assert out.startswith("[Holdbank] 🔄 Executing safity close procedure...\n")
    assert out.endswith("[Holdbank] 🛑 TCP port was closed。\n")


def test_failed_save_is_logged_and_the_close_goes_on(tmp_path, port, holdbank_log, capsys):
    b = Holdbank.CLASS_Holdbank(2, str(tmp_path / "missing-folder" / "b.json"))
    b.CUF_Open("127.0.0.1", port)
    m = socket.create_connection(("127.0.0.1", port), timeout=5)
    try:
        wait_until(lambda: len(b.CUF_ListConnections()) == 1)
        b.CUF_Close()
        messages = holdbank_log.lines(logging.ERROR)
        assert len(messages) == 1 and messages[0].startswith("Auto save failed during close: ")
        assert "No such file or directory" in messages[0]
        assert m.recv(10) == b""
        assert capsys.readouterr().out.endswith("[Holdbank] 🛑 TCP port was closed。\n")
    finally:
        m.close()


def test_failed_listener_stop_is_logged(tmp_path, holdbank_log, capsys):
    class Broken:
        def shutdown(self):
            raise RuntimeError("cannot stop")

    b = Holdbank.CLASS_Holdbank(2, str(tmp_path / "b.json"))
    b.server_net = Broken()
    assert b.CUF_Close() is None
    assert holdbank_log.lines(logging.ERROR) == ["Error closing TCP server: cannot stop"]
    assert "TCP port was closed" not in capsys.readouterr().out


def test_close_order_is_save_then_drop_then_stop(tmp_path, port):
    order = []

    class Traced(Holdbank.CLASS_Holdbank):
        def CUF_SaveToFile(self, filename):
            order.append(("save", list(self.CUF_ListConnections())))

        def CUF_DisconnectClient(self, full_address):
            order.append(("drop", full_address))
            return super().CUF_DisconnectClient(full_address)

    b = Traced(2, str(tmp_path / "b.json"))
    b.CUF_Open("127.0.0.1", port)
    with socket.create_connection(("127.0.0.1", port), timeout=5) as m:
        full = "127.0.0.1:%d" % m.getsockname()[1]
        wait_until(lambda: b.CUF_ListConnections() == [full])
        b.CUF_Close()
    assert order == [("save", [full]), ("drop", full)]
    assert not b.server_thread.is_alive() or b.server_thread.join(5) is None


def test_interrupt_during_close_is_not_swallowed(tmp_path):
    class Interrupting(Holdbank.CLASS_Holdbank):
        def CUF_SaveToFile(self, filename):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Interrupting(2, str(tmp_path / "b.json")).CUF_Close()


def test_second_open_without_close_leaves_the_first_listener(tmp_path, capsys):
    p1, p2 = free_port(), free_port()
    b = Holdbank.CLASS_Holdbank(2, str(tmp_path / "b.json"))
    b.CUF_Open("127.0.0.1", p1)
    first = b.server_net
    b.CUF_Open("127.0.0.1", p2)
    try:
        assert b.server_net is not first
        with socket.create_connection(("127.0.0.1", p1), timeout=5):
            pass
    finally:
        b.CUF_Close()
        first.shutdown()
        first.server_close()
