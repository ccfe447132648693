"""Groups hospital episodes: the grouper's library for Python."""
from ._core import *  # noqa: F401,F403
