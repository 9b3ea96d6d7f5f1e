"""The dashboard renderer: scoreboard JSON -> standalone HTML dashboard."""

from kemora._panogen import *  # noqa: F401,F403
