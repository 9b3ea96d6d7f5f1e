"""The pipeline engine: one Motor serves one pipeline run."""

from kemora._motor import *  # noqa: F401,F403
