"""The `holdbank` command: serve a bank, read, write, watch and scan Modbus devices from the shell.

It drives the toolkit's modules (Holdbank, Socklink, Cordlink) and frames nothing itself."""
from importlib.metadata import PackageNotFoundError, version


def distribution_version() -> str:
    try:
        return version("holdbank-toolkit")
    except PackageNotFoundError:
        # A development build on PYTHONPATH: the modules carry the version they were built as.
        import Holdbank

        return str(Holdbank.__version__)
