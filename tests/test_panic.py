"""Internal faults surface as PanicException with a report on fd 2 (test-hooks build only)."""
import pytest

hooks = pytest.importorskip("_quorbis_hooks", reason="needs the build with QUORBIS_TEST_HOOKS=ON")


def test_internal_fault_is_a_panic_with_a_report_on_fd2(capfd):
    with pytest.raises(BaseException) as caught:
        hooks.trigger_fault()
    panic = caught.value
    assert type(panic).__name__ == "PanicException"
    assert type(panic).__bases__ == (BaseException,)
    assert not isinstance(panic, Exception)
    assert panic.args == ("assertion failed: index < dim",)
    report = capfd.readouterr().err
    assert "internal fault" in report and "hooks.cpp" in report
    assert report.endswith("assertion failed: index < dim\n")


def test_panic_type_is_created_once():
    types = set()
    for _ in range(3):
        try:
            hooks.trigger_fault()
        except BaseException as panic:  # noqa: BLE001 - the point is that Exception does not catch it
            types.add(type(panic))
    assert len(types) == 1
