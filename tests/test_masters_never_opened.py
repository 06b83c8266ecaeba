"""A master that was never opened: reads report and give their empty result, writes raise."""
import pytest

from Cordlink import CLASS_Cordlink
from Socklink import CLASS_Socklink
from master_helpers import EMPTY_RESULTS, NEVER_OPENED_WRITES, record_hooks

pytestmark = pytest.mark.pymodbus

MASTERS = [CLASS_Cordlink, CLASS_Socklink]


@pytest.mark.parametrize("master", MASTERS)
@pytest.mark.parametrize("method, empty", EMPTY_RESULTS + [("_read_raw", None)])
def test_reads_give_the_empty_result_and_one_report(master, method, empty):
    link = master()
    events = record_hooks(link)
    assert getattr(link, method)(0, 1) == empty
    assert events == [("error", "Exception: 'NoneType' object has no attribute 'read_holding_registers'")]


@pytest.mark.parametrize("master", MASTERS)
@pytest.mark.parametrize("method, value", NEVER_OPENED_WRITES)
def test_writes_raise_and_report_nothing(master, method, value):
    link = master()
    events = record_hooks(link)
    with pytest.raises(AttributeError):
        getattr(link, method)(0, value)
    assert events == []
