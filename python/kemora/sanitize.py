"""Error reports for failed pipeline steps."""

from kemora._services import mask_long_numbers, save_error_report

__all__ = ["save_error_report", "mask_long_numbers"]
