"""Groups hospital episodes: the grouper's library for Python.

TableSet(path) opens the sixteen table files of a directory (TableSetError when
it cannot); its group, group_many, group_block and group_file give the bytes of
the grouper program.  The Dask runner is episode_grouper.dask
(python3 -m episode_grouper.dask --help).
"""
from ._core import *  # noqa: F401,F403
