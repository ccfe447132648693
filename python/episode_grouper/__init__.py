"""Groups hospital episodes: the grouper's library for Python.

TableSet(path) opens the sixteen table files of a directory (TableSetError when
it cannot); its group, group_many, group_block and group_file give the bytes of
the grouper program.  TableRegistry(path) opens a registry of table versions,
each valid over a window of record dates, and groups every record with the
version of its date through the same methods (their rows gain `tables`).

Episodes as named fields: Episode(**fields) builds and checks an episode's
record (EpisodeError, a ValueError, lists every field error);
TableSet.group_episode groups one, and TableSet.group_frame groups a pandas
DataFrame of them into a DataFrame of results, in C++ on every core (pandas is
needed only there).

The Dask runner is episode_grouper.dask (python3 -m episode_grouper.dask --help).

__version__ is the version of the grouper's library, the one its programs and
service report.
"""
from ._core import *  # noqa: F401,F403
from ._core import __version__  # noqa: F401
