"""Where the files that ship with the package lie (resolved from the folder of
the loaded kemora library), and the dashboard template a host may choose."""

from kemora._services import (
    get_demo_dir,
    get_js_dir,
    get_notebooks_dir,
    get_runner_path,
    get_share_dir,
    get_template_path,
    set_template_path,
)

__all__ = [
    "get_share_dir",
    "get_notebooks_dir",
    "get_template_path",
    "set_template_path",
    "get_js_dir",
    "get_runner_path",
    "get_demo_dir",
]
