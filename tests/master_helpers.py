"""What the tests of the two Modbus masters share: hook recorders and a recording client."""

ATTRIBUTES = ["client", "CUE_OnConnect", "CUE_OnConnecting", "CUE_OnDisconnect", "CUE_OnError",
              "CUE_OnPacketREAD", "CUE_OnPacketWRITE"]
EMPTY_RESULTS = [("CUF_Read_HR_int", []), ("CUF_Read_HR_long", []), ("CUF_Read_HR_double", []),
                 ("CUF_Read_HR_str", "")]
NEVER_OPENED_WRITES = [("CUF_Write_HR_int", 1), ("CUF_Write_HR_long", 1), ("CUF_Write_HR_double", 1.0),
                       ("CUF_Write_HR_str", "A")]


def record_hooks(link):
    """Sets every hook to append its event to the returned list."""
    events = []
    link.CUE_OnConnecting = lambda: events.append("connecting")
    link.CUE_OnConnect = lambda: events.append("connect")
    link.CUE_OnDisconnect = lambda: events.append("disconnect")
    link.CUE_OnError = lambda text: events.append(("error", text))
    link.CUE_OnPacketREAD = lambda registers: events.append(("read", registers))
    link.CUE_OnPacketWRITE = lambda value: events.append(("write", value))
    return events


def raiser(message):
    def hook(*args):
        raise RuntimeError(message)
    return hook


def recording(client_class):
    """The package's own client class, noting how each call was made before making it."""

    class Recording(client_class):
        def __init__(self, *args, **kwargs):
            self.calls = [(client_class.__name__, args, list(kwargs.items()))]
            super().__init__(*args, **kwargs)

        def read_holding_registers(self, *args, **kwargs):
            self.calls.append(("read_holding_registers", args, kwargs))
            return super().read_holding_registers(*args, **kwargs)

        def write_register(self, *args, **kwargs):
            self.calls.append(("write_register", args, kwargs))
            return super().write_register(*args, **kwargs)

        def write_registers(self, *args, **kwargs):
            self.calls.append(("write_registers", args, kwargs))
            return super().write_registers(*args, **kwargs)

    return Recording
