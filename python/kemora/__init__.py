"""Kemora: the pipeline engine (kemora.motor) and the dashboard renderer
(kemora.pipeline.panogen) of the credit-risk monitoring toolkit, as Python
modules over the native libraries."""

from kemora._services import __version__

__all__ = ["__version__"]
