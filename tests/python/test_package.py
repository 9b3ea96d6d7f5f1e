"""The package's own imports and services."""

import pathlib

import pytest


def test_version_and_service_modules(tmp_path):
    import kemora
    from kemora import paths, sanitize

    assert isinstance(kemora.__version__, str) and kemora.__version__.count(".") == 2
    for get in (paths.get_notebooks_dir, paths.get_template_path, paths.get_js_dir):
        assert isinstance(get(), pathlib.Path)
    assert paths.get_template_path().name == "kmr_dashboard.html.j2"
    assert paths.get_template_path().is_file()

    report = tmp_path / "error_report.txt"
    sanitize.save_error_report(RuntimeError("müşteri 123456789 yok"), "db/kmr.duckdb", context="step=x",
                               output_path=report)
    text = report.read_text(encoding="utf-8")
    assert "*********" in text and "123456789" not in text and "step=x" in text


def test_template_path_can_be_set_and_restored(tmp_path):
    from kemora import paths

    default = paths.get_template_path()
    own = tmp_path / "own.html.j2"
    paths.set_template_path(own)
    try:
        assert paths.get_template_path() == own
        paths.set_template_path(str(own))
        assert paths.get_template_path() == own
    finally:
        paths.set_template_path(None)
    assert paths.get_template_path() == default


@pytest.mark.parametrize("call", [
    lambda p, s: p.set_template_path(5),
    lambda p, s: p.set_template_path(b"/tmp/x.j2"),
    lambda p, s: s.mask_long_numbers(b"123456789"),
    lambda p, s: s.save_error_report("e", 5, context="c", output_path="/tmp/x"),
    lambda p, s: s.save_error_report("e", "db", context=1, output_path="/tmp/x"),
])
def test_wrong_types_raise_type_error(call, tmp_path):
    from kemora import paths, sanitize

    with pytest.raises(TypeError):
        call(paths, sanitize)
