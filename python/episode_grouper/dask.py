"""Groups an episode file on a Dask cluster, with the same bytes as the grouper program.

    python3 -m episode_grouper.dask INPUT (OUTPUT | --output-parts DIR) (--tables DIR | --registry FILE)
        [--results FILE]
        [--results-format tsv|jsonl] [--input-format fixed|csv|tsv|jsonl]
        [--scheduler ADDRESS | --local-workers N] [--partition-size BYTES] [--timeout SECONDS]

The input is cut into partitions of about --partition-size bytes, each ending
just after a line feed (or at the end of the input), so that every partition
starts at a line boundary, where the grouper's line splitting restarts.  Each
partition is grouped on a worker with TableSet.group_block; a worker process
opens the table set once and keeps it for every partition it groups.  The
result lines (and the detailed result rows, numbered across the whole input:
the records of every partition are counted first) are written in input order,
so OUTPUT and the result file hold the bytes the program would write, whatever
the partition size.  With --registry FILE (a registry of table versions) each
record is grouped with the version of its record date, through
TableRegistry.group_block, as the program's --registry groups it.

Episodes as named fields (--input-format csv, tsv or jsonl; an INPUT ending in
.csv, .tsv or .jsonl chooses it, fixed-width records stay the default) are
read with dask.dataframe: CSV and TSV with a header row naming the columns,
every value read as text (dtype=str, keep_default_na=False: an empty field is
not given), JSON Lines with each object's values as they are.  Each partition
is grouped on a worker with TableSet.group_frame_block, into the outputs the
program writes for such input: a result line per row (an episode that cannot
be built gives the line of its id with no groups, "0000"), and result rows
with the id column after the record number, numbered across the whole input;
an invalid episode's row has no groups and its input_invalid findings.  A
CSV or TSV header without a required column fails before any work.

The worker that groups a partition writes its result lines (and its result
rows) itself: it keeps them in memory and only their sizes travel back; once
the sizes of every partition before it are known, so is its place in OUTPUT
(and in the result file), and the worker writes it there (os.pwrite into the
staged file).  The bytes are written once, by a worker, and none travels
through the client.  A partition whose worker was lost, before or during its
write, is grouped again by the scheduler and written by its new worker at the
same place with the same bytes; a task that raises is tried once more.  A
worker reads and groups a partition a megabyte at a time, into buffers it
keeps from one partition to the next, and writes one partition while it
groups the next (the write leaves its thread pool, as Dask's secede lets a
task do): a one-thread worker then runs a second thread while it writes.

With --output-parts DIR the result lines are not joined: the workers write
them as part files (named anew by every attempt, in DIR's staging directory),
and DIR receives them as part-00000, part-00001 ... in input order, with
_manifest.json naming each part with its first record's number, its record
count and its bytes (the result rows still go to the --results file).  DIR must not exist or be empty; it is built as
.DIR.partial-RUN beside it and renamed into place when complete.

The table set is opened once here first, so that a bad set fails at once with
its message; then every worker is asked to read the input and the table files
and to write in the output directories, and a worker that cannot ends the run
with one line naming it and the path.  OUTPUT and the result file are written
beside their targets (NAME.partial-PID) and renamed over them only when the
run is complete; on any failure they are removed and the exit status is 1.
An OUTPUT that is not a regular file (a device, a pipe) is written directly,
in order, and its result lines travel back through the client.

Without --scheduler a local cluster of --local-workers worker processes (one
thread each) is started for the run and closed at its end.  Every worker must
see INPUT, the table directory and the output directories under the same
paths (on one machine, or on a file system every machine mounts alike), and
import this package.

From Python:

    from episode_grouper.dask import run
    run("episodes.txt", "results.txt", "tables", results="rows.tsv", client=client)
    run("episodes.txt", None, "tables", output_parts="results.d", client=client)
"""

import argparse
import collections
import json
import os
import shutil
import stat
import sys
import threading
import time
import uuid

from . import _core

__all__ = ["DEFAULT_PARTITION_SIZE", "INPUT_FORMATS", "MANIFEST", "WorkerPathError", "input_format_of",
           "partition_bounds", "run", "main"]

INPUT_FORMATS = ("fixed", "csv", "tsv", "jsonl")

DEFAULT_PARTITION_SIZE = 64 << 20

# The manifest of a directory of result parts (--output-parts).
MANIFEST = "_manifest.json"

# The sixteen table files: a worker reopens a set when one of them changes.
TABLE_FILES = ("Tdx.idx", "Tsg.idx", "Tmdc.idx", "Tadrg.idx", "Taadrg.idx", "Tdag_ast", "Tcond.idx", "Tcode",
               "Tadrg", "Tadrg1", "Taadrg", "Tccl", "Tpccl", "Tccedit", "ltc_drg.idx", "adrg_ltcdrg")

_SCAN_CHUNK = 1 << 16

# In every worker process: table directory -> (file signature, TableSet), and
# how many times each directory was opened in this process.
_table_sets = {}
_table_opens = collections.Counter()
_table_lock = threading.Lock()


def _table_signature(directory):
    """What identifies the current files of a table directory: their inodes, sizes and times."""
    signature = []
    for name in TABLE_FILES:
        try:
            st = os.stat(os.path.join(directory, name))
        except OSError:
            signature.append(None)
        else:
            signature.append((st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns))
    return tuple(signature)


_registries = {}


def worker_tables(source):
    """What groups on this worker: the TableSet of a directory, or for ("registry", FILE) the
    TableRegistry of that file (opened again only when the file changed)."""
    if isinstance(source, str):
        return worker_table_set(source)
    return _loaded_from_file(_registries, source[1], _core.TableRegistry)


def worker_table_set(directory):
    """The TableSet of `directory` in this process: opened at the first call, then kept.

    It is opened again only when one of the sixteen files was replaced or changed."""
    signature = _table_signature(directory)
    with _table_lock:
        cached = _table_sets.get(directory)
        if cached is None or cached[0] != signature:
            cached = (signature, _core.TableSet(directory))
            _table_sets[directory] = cached
            _table_opens[directory] += 1
        return cached[1]


_weight_catalogues = {}


def worker_weights(path):
    """The WeightCatalogue of the file `path` in this process, loaded again only when the file changed."""
    return _loaded_from_file(_weight_catalogues, path, _core.WeightCatalogue)


def _loaded_from_file(cache, path, load):
    """load(path), kept in `cache` and made again only when the file was replaced or changed."""
    st = os.stat(path)
    signature = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
    with _table_lock:
        cached = cache.get(path)
        if cached is None or cached[0] != signature:
            cached = (signature, load(path))
            cache[path] = cached
        return cached[1]


# The buffers a worker's partitions are read into, and those its grouped
# partitions are written into, each given back once its partition is done
# with (written, or travelled) for the next one: a new buffer's pages cost
# their faults and their zeroing every time.  Shared by the worker's
# threads: a task that writes leaves the thread pool (see write_at), so
# threads come and go.
_spare_read_buffers = collections.deque()
_spare_buffers = collections.deque()
_MAX_SPARE_BUFFERS = 8


def _take_buffer(spares=_spare_buffers):
    try:
        return spares.pop()
    except IndexError:
        return bytearray()


# The bytes of a partition are read and grouped a piece at a time: grouped
# just after it is read, a piece is still in the processor's cache, where a
# whole partition read first is not.  plain: the partition read whole, then
# grouped; line splitting had taken 6% of a worker's time, waiting on
# memory, against 1.5% in the program.
_PIECE_BYTES = 1 << 20


def _partition_pieces(path, start, end, size):
    """The bytes [start, end) of the input, checked against the size the partitions were planned for,
    in pieces of about _PIECE_BYTES: views of a spare read buffer, each valid until the next is asked
    for and ending just after a line feed or at the partition's end, so that each splits into records
    as the whole partition does."""
    buffer = _take_buffer(_spare_read_buffers)
    try:
        with open(path, "rb", buffering=0) as f:
            now = os.fstat(f.fileno()).st_size
            if now != size:
                raise RuntimeError(f"{path}: the input changed during the run ({size} bytes planned, {now} now)")
            held = 0  # the start of a line, carried over from the last piece
            at = start
            while at < end:
                want = min(_PIECE_BYTES, end - at)
                if len(buffer) < held + want:
                    buffer.extend(bytes(held + want - len(buffer)))
                got = 0
                with memoryview(buffer) as whole:
                    while got < want:
                        with whole[held + got:held + want] as rest:
                            n = os.preadv(f.fileno(), [rest], at + got)
                        if n == 0:
                            raise RuntimeError(f"{path}: read {at + got - start} bytes of [{start}, {end})")
                        got += n
                at += want
                filled = held + want
                # Cut after the last line feed of what was read, or at the partition's end; a piece
                # without one waits for more.
                cut = filled if at == end else buffer.rfind(b"\n", held, filled) + 1
                if cut == 0:
                    held = filled
                    continue
                with memoryview(buffer)[:cut] as piece:
                    yield piece
                held = filled - cut
                buffer[:held] = buffer[cut:filled]
    finally:
        if len(_spare_read_buffers) < _MAX_SPARE_BUFFERS:
            _spare_read_buffers.append(buffer)


class _Kept:
    """An output of a partition grouped on this worker: its first `size`
    bytes of `buffer`, given back to the worker's spare buffers when the
    partition is released.  It travels (pickled) as bytes."""

    __slots__ = ("buffer", "size")

    def __init__(self, buffer, size):
        self.buffer = buffer
        self.size = size

    def __len__(self):
        return self.size

    def __sizeof__(self):
        # What Dask's scheduler weighs a move of the partition by: the bytes
        # it holds (else it moves partitions between workers as if free).
        return object.__sizeof__(self) + self.size

    def view(self):
        """A view of the bytes; release it before the partition is released."""
        return memoryview(self.buffer)[:self.size]

    def __reduce__(self):
        with self.view() as view:
            return bytes, (view.tobytes(),)

    def __del__(self):
        if len(_spare_buffers) < _MAX_SPARE_BUFFERS:
            _spare_buffers.append(self.buffer)


def _view_of(data):
    """A memoryview of bytes, a bytes-like object or a _Kept."""
    return data.view() if isinstance(data, _Kept) else memoryview(data)


def count_partition(path, start, end, size):
    """On a worker: the number of records of the partition [start, end) of the input."""
    return sum(_core.count_records(piece) for piece in _partition_pieces(path, start, end, size))


def write_part(data, prefix, index):
    """On a worker: `data` as it travels back to the client.

    With `prefix` None, the bytes themselves.  Else they are written into a
    new file PREFIX + INDEX (five digits) + '.' + a name of this attempt, and
    (path, bytes) is returned: an attempt never writes over another's part."""
    if prefix is None:
        return data
    path = f"{prefix}{index:05d}.{uuid.uuid4().hex}"
    with open(path, "xb") as f, _view_of(data) as view:
        f.write(view)
    return path, len(data)


def group_partition(path, start, end, size, tables, first_record, results_format, weights=None, prefixes=None,
                    index=0):
    """On a worker: groups the partition [start, end) of the input.

    Returns (result lines, result rows numbered from first_record or None, records),
    as TableSet.group_block does, each output held in one of this worker's
    buffers (bytes once it travels); the rows carry the weight columns when `weights`
    names a weight catalogue.  With `prefixes` (lines prefix, rows prefix), the
    lines and rows are written into part files (see write_part) and their
    (path, bytes) returned in their place; a prefix of None keeps those bytes."""
    catalogue = worker_weights(weights) if weights is not None else None
    grouping = worker_tables(tables)
    buffers = (_take_buffer(), _take_buffer() if results_format is not None else None)
    lines = rows = count = 0
    extra = () if catalogue is None else (catalogue,)
    for piece in _partition_pieces(path, start, end, size):
        lines, rows, n = grouping.group_block_into(piece, *buffers, first_record + count, results_format, *extra,
                                                   lines_at=lines, rows_at=rows or 0)
        count += n
    if results_format is None:
        rows = None
    lines = _Kept(buffers[0], lines)
    rows = None if rows is None else _Kept(buffers[1], rows)
    return _parts_of(lines, rows, count, prefixes, index)


def group_frame_partition(frame, tables, first_record, results_format, weights=None, prefixes=None, index=0):
    """On a worker: groups one partition of episodes as named fields (a pandas DataFrame).

    Returns (result lines, result rows numbered from first_record with the id
    column or None, rows), as TableSet.group_frame_block does; the rows carry
    the weight columns when `weights` names a weight catalogue.  `prefixes`:
    as group_partition's."""
    catalogue = worker_weights(weights) if weights is not None else None
    lines, rows, count = worker_table_set(tables).group_frame_block(frame, first_record, results_format, catalogue)
    return _parts_of(lines, rows, count, prefixes, index)


def _parts_of(lines, rows, count, prefixes, index):
    if prefixes is None:
        return lines, rows, count
    return (write_part(lines, prefixes[0], index), None if rows is None else write_part(rows, prefixes[1], index),
            count)


def path_problem(input, tables, directories):
    """What this process cannot do of a run: a line naming the path, or None when all is well.

    It must read `input` and the table files of `tables` (a directory, or a
    list of them), and create (and delete) a file in each of `directories`."""
    try:
        with open(input, "rb") as f:
            f.read(1)
    except OSError as e:
        return f"cannot read the input {input}: {e.strerror or e}"
    for name in TABLE_FILES:
        for directory in [tables] if isinstance(tables, str) else tables:
            table = os.path.join(directory, name)
            try:
                with open(table, "rb"):
                    pass
            except OSError as e:
                return f"cannot read the table file {table}: {e.strerror or e}"
    for directory in directories:
        probe = os.path.join(directory, f".probe-{uuid.uuid4().hex}")
        try:
            with open(probe, "xb"):
                pass
            os.unlink(probe)
        except OSError as e:
            return f"cannot write in the output directory {directory}: {e.strerror or e}"
    return None


class WorkerPathError(OSError):
    """A worker cannot read the input or the tables, or cannot write beside the outputs."""


def _check_workers(client, input, tables, directories):
    """Raises WorkerPathError naming the first worker that cannot do its part of the run."""
    problems = client.run(path_problem, input, tables, sorted(set(directories)))
    for worker, problem in sorted(problems.items()):
        if problem is not None:
            raise WorkerPathError(f"the worker {worker} {problem}: every worker must see the input, the tables "
                                  "and the output directories under the same paths")


def input_format_of(input, input_format=None):
    """The format of the input: as given, else csv, tsv or jsonl by the name's ending, else fixed."""
    if input_format is None:
        name = os.fspath(input)
        for ending in ("csv", "tsv", "jsonl"):
            if name.endswith("." + ending):
                return ending
        return "fixed"
    if input_format not in INPUT_FORMATS:
        raise ValueError(f"input_format is one of {', '.join(INPUT_FORMATS)}, not {input_format!r}")
    return input_format


def read_frames(input, input_format, partition_size):
    """The episodes of a CSV, TSV or JSON Lines file as a dask DataFrame of partitions of about partition_size bytes."""
    import dask.dataframe as dd

    if input_format == "jsonl":
        return dd.read_json(input, lines=True, blocksize=partition_size, dtype=False, convert_dates=False)
    return dd.read_csv(input, sep="," if input_format == "csv" else "\t", dtype=str, keep_default_na=False,
                       blocksize=partition_size)


def partition_bounds(path, partition_size):
    """The partitions of the file `path`: a list of (start, end) byte ranges covering it.

    A partition ends about every `partition_size` bytes, just after the first line
    feed at or after that point (or at the end of the file), so every partition
    starts at a line boundary.  An empty file has no partitions."""
    if partition_size < 1:
        raise ValueError("the partition size is at least 1 byte")
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        bounds = [0]
        target = partition_size
        while target < size:
            # The partition ends after the first line feed at or after target - 1.
            f.seek(target - 1)
            position = target - 1
            end = size
            while True:
                chunk = f.read(_SCAN_CHUNK)
                if not chunk:
                    break
                lf = chunk.find(b"\n")
                if lf >= 0:
                    end = position + lf + 1
                    break
                position += len(chunk)
            if end >= size:
                break
            bounds.append(end)
            # The next point of the grid whose search starts at or after end.
            target = -(-(end + 1) // partition_size) * partition_size
    if size:
        bounds.append(size)
    return list(zip(bounds, bounds[1:])), size


def results_format_of(results, results_format=None):
    """The format of the detailed result file: as given, else 'jsonl' for a name ending in .jsonl, else 'tsv'."""
    if results_format is None:
        return "jsonl" if os.fspath(results).endswith(".jsonl") else "tsv"
    if results_format not in ("tsv", "jsonl"):
        raise ValueError(f"results_format is 'tsv' or 'jsonl', not {results_format!r}")
    return results_format


def _target(path):
    """The path an output is written to: a device or a pipe as named, else `path` with its symbolic
    links resolved, so that the file a link names is replaced, never the link itself."""
    path = os.path.abspath(path)
    return path if _special(path) else os.path.realpath(path)


def _special(target):
    """True when `target` exists and is not a regular file (a device, a pipe): it is written directly."""
    try:
        return not stat.S_ISREG(os.stat(target).st_mode)
    except FileNotFoundError:
        return False


class _StagedOutput:
    """An output written beside its target and renamed over it by commit().

    A target that exists and is not a regular file (a device, a pipe) is written directly."""

    def __init__(self, target):
        self.target = target
        self.path = target if _special(target) else f"{target}.partial-{os.getpid()}"
        self.file = open(self.path, "wb")

    def commit(self):
        self.file.close()
        if self.path != self.target:
            os.replace(self.path, self.target)
        self.path = None

    def discard(self):
        self.file.close()
        if self.path is not None and self.path != self.target:
            try:
                os.unlink(self.path)
            except FileNotFoundError:
                pass


def write_at(result, which, path, offset):
    """On a worker: writes output `which` (0: the lines, 1: the rows) of a grouped partition held in this
    worker's memory at `offset` of the existing file `path`, the staged output of the run.

    The file is never created here: once the run has ended (and its staged
    file is gone) a late write fails instead of leaving a file behind.  A
    partition grouped again after its worker was lost writes the same bytes
    at the same place.  On a worker's thread the task leaves the thread
    pool first (distributed.secede), so that the worker groups its next
    partition while this one is written, as the program's writer stage
    writes beside its grouping threads: the workers' writes into the one
    file wait on each other."""
    _leave_thread_pool()
    fd = os.open(path, os.O_WRONLY | getattr(os, "O_CLOEXEC", 0))
    try:
        return _write_all_at(fd, result[which], offset)
    finally:
        os.close(fd)


def _leave_thread_pool():
    """distributed.secede() when run as a task on a worker's thread, else nothing."""
    try:
        from distributed import get_worker, secede
        get_worker()
    except (ImportError, ValueError):
        return
    secede()


def _write_all_at(fd, data, offset):
    """Writes all of `data` (bytes-like or _Kept) at `offset` of the descriptor `fd`; returns the offset after it."""
    with _view_of(data) as view:
        done = 0
        while done < len(view):
            with view[done:] as rest:
                done += os.pwrite(fd, rest, offset + done)
    return offset + done


def part_sizes(result):
    """On a worker: what of a grouped partition travels to the client, (lines, rows, records).

    Of an output kept in this worker's memory its size in bytes; of one
    written into a part file (path, bytes), as it is; None for no rows."""
    lines, rows, count = result
    return tuple(part if part is None or isinstance(part, tuple) else len(part) for part in (lines, rows)) + (count,)


class _PlacedOutput:
    """Result parts written in input order into one file, staged beside the target.

    The workers keep each grouped partition in memory; once the sizes of the
    parts before it are known, its place in the staged file is, and the worker
    writes it there itself (write_at): the bytes are written once, and none
    travels through the client.  A target that is not a regular file (a
    device, a pipe) cannot be written at places: its parts travel to the
    client, which writes them in order (needs_bytes)."""

    def __init__(self, target, header=None):
        self.staged = _StagedOutput(target)
        self.needs_bytes = self.staged.path == target
        try:
            if header:
                self.staged.file.write(header)
            self.staged.file.flush()
            self.end = len(header or b"")
        except BaseException:
            self.discard()
            raise

    def prefix(self):
        return None

    def add(self, index, part, first, count, place):
        """Writes the next part: its bytes, or (its size) has `place(path, offset)` ask its worker to.

        Returns what place() returned (the write on the worker), or None."""
        if self.needs_bytes:
            with _view_of(part) as view:
                self.staged.file.write(view)
            return None
        offset = self.end
        self.end += part if isinstance(part, int) else len(part)
        if isinstance(part, int):
            return place(self.staged.path, offset)
        _write_all_at(self.staged.file.fileno(), part, offset)
        return None

    def commit(self, records):
        self.staged.file.flush()
        if not self.needs_bytes:
            now = os.fstat(self.staged.file.fileno()).st_size
            if now != self.end:
                raise RuntimeError(f"the output {self.staged.path} holds {now} bytes where its parts make {self.end}")
        self.staged.commit()

    def discard(self):
        self.staged.discard()


class _PartsOutput:
    """Result parts kept as DIR/part-NNNNN with DIR/_manifest.json, built in .DIR.partial-RUN beside DIR."""

    def __init__(self, target, run_id, input):
        if os.path.lexists(target) and not (os.path.isdir(target) and not os.listdir(target)):
            raise FileExistsError(f"the output directory {target} exists and is not an empty directory")
        self.target = target
        self.input = input
        self.directory = os.path.dirname(target)
        self.staging = os.path.join(self.directory, f".{os.path.basename(target)}.partial-{run_id}")
        os.mkdir(self.staging)
        self.entries = []
        self.needs_bytes = False

    def prefix(self):
        return os.path.join(self.staging, ".part-")

    def add(self, index, part, first, count, place=None):
        path, size = part
        if os.stat(path).st_size != size:
            raise RuntimeError(f"the part {path} holds {os.stat(path).st_size} bytes where its worker wrote {size}")
        name = f"part-{index:05d}"
        os.replace(path, os.path.join(self.staging, name))
        self.entries.append({"name": name, "first_record": first, "records": count, "bytes": size})

    def commit(self, records):
        for name in os.listdir(self.staging):
            if name.startswith(".part-"):  # an attempt whose result was not taken
                os.unlink(os.path.join(self.staging, name))
        manifest = {"input": self.input, "records": records, "bytes": sum(e["bytes"] for e in self.entries),
                    "parts": self.entries}
        with open(os.path.join(self.staging, MANIFEST), "w", encoding="utf-8") as f:
            json.dump(manifest, f, indent=1)
            f.write("\n")
        os.replace(self.staging, self.target)

    def discard(self):
        shutil.rmtree(self.staging, ignore_errors=True)


def _same_file(a, b):
    """True when both paths name one file (an existing one, or the same path)."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


class _Progress:
    """A progress line on standard error: partitions and records written."""

    def __init__(self, total):
        self.total = total
        self.start = time.monotonic()
        self.last = 0.0

    def update(self, done, records, final=False):
        now = time.monotonic()
        if not final and now - self.last < 0.1:
            return
        self.last = now
        width = 40
        filled = width * done // self.total if self.total else width
        sys.stderr.write(f"\r[{'#' * filled}{' ' * (width - filled)}] {done}/{self.total} partitions, "
                         f"{records:,} records | {now - self.start:.1f}s")
        if final:
            sys.stderr.write("\n")
        sys.stderr.flush()


def _default_workers():
    return max(2, os.cpu_count() or 1)


def _first_numbers(client, count_futures, timeout):
    """The number of the first record of every partition, and the counts.

    `count_futures` count the records of each partition; numbering is
    across the whole input, from 1."""
    try:
        counts = [future.result(timeout=timeout) for future in count_futures]
    except BaseException:
        client.cancel(count_futures)
        raise
    firsts = []
    total = 1
    for n in counts:
        firsts.append(total)
        total += n
    return firsts, counts


def _write_in_order(client, submit, parts, counts, input, lines_out, rows_out, timeout, progress, unit):
    """Runs the partitions and writes their outputs in input order.

    `submit(i, prefixes)` starts partition i and gives a future of (lines,
    rows, count), where lines and rows are (path, bytes) of part files the
    worker wrote under `prefixes`, or the bytes themselves, kept on the worker
    for a prefix of None.  Only the sizes of kept bytes travel here; each is
    then written at its place by the worker that holds it (write_at), unless
    an output needs the bytes themselves (a pipe, a device).  A bounded window
    of partitions is in flight.  The lines go to `lines_out` and the rows to
    `rows_out` (None: no rows), both committed only when every partition is
    written; on any failure what is pending is cancelled and neither is
    left, nor any part.  Returns the records written."""
    outputs = [out for out in (lines_out, rows_out) if out is not None]
    needs_bytes = any(out.needs_bytes for out in outputs)
    pending = collections.deque()  # (grouped partition, what travels here of it)
    writes = collections.deque()  # (the writes on a worker, the grouped partition they write)

    def finish_writes():
        placed, grouped = writes.popleft()
        try:
            for write in placed:
                write.result(timeout=timeout)
        finally:
            for write in placed:
                write.release()
            grouped.release()

    try:
        prefixes = (lines_out.prefix(), rows_out.prefix() if rows_out is not None else None)
        # Four partitions a worker thread: partitions are taken in input
        # order, so with two a worker that finished its own waited on a
        # slower one's (idle 10% of a run on two workers, 3% with four).
        window = max(4, 4 * sum(client.nthreads().values()))
        bar = _Progress(parts) if progress else None
        submitted = 0
        records = 0
        for index in range(parts):
            while submitted < parts and len(pending) < window:
                grouped = submit(submitted, prefixes)
                pending.append((grouped, grouped if needs_bytes else
                                client.submit(part_sizes, grouped, pure=False, priority=1, retries=1)))
                submitted += 1
            grouped, travelling = pending.popleft()
            try:
                lines, rows, count = travelling.result(timeout=timeout)
            finally:
                if travelling is not grouped:
                    travelling.release()
            if counts is not None and count != counts[index]:
                grouped.release()
                raise RuntimeError(f"partition {index} of {input} gave {count} {unit} where {counts[index]} "
                                   "were counted: the input changed during the run")
            placed = []
            for which, (out, part) in enumerate(((lines_out, lines), (rows_out, rows))):
                if out is None:
                    continue
                # The write of a part kept on a worker runs there, before the partitions queued behind it.
                write = out.add(index, part, records + 1, count,
                                lambda path, offset, which=which: client.submit(
                                    write_at, grouped, which, path, offset, pure=False, priority=2, retries=1))
                if write is not None:
                    placed.append(write)
            if placed:
                writes.append((placed, grouped))
            else:
                grouped.release()
            records += count
            while writes and (len(writes) > window or all(write.done() for write in writes[0][0])):
                finish_writes()
            if bar:
                bar.update(index + 1, records)
        while writes:
            finish_writes()
        if bar:
            bar.update(parts, records, final=True)
        for out in reversed(outputs):
            out.commit(records)
        return records
    except BaseException:
        client.cancel([f for pair in pending for f in pair] + [f for placed, grouped in writes for f in placed + [grouped]])
        for out in outputs:
            out.discard()
        raise


def _outputs(output, output_parts, results, run_id, input, header):
    """The outputs of a run: (lines, rows or None), the lines joined into `output` or kept under `output_parts`."""
    lines_out = rows_out = None
    try:
        lines_out = (_PartsOutput(output_parts, run_id, input) if output_parts is not None
                     else _PlacedOutput(output))
        if results is not None:
            rows_out = _PlacedOutput(results, header)
        return lines_out, rows_out
    except BaseException:
        if lines_out is not None:
            lines_out.discard()
        raise


def _group_on(client, input, output, output_parts, tables, results, results_format, partition_size, timeout,
              progress, weights=None):
    parts, size = partition_bounds(input, partition_size)
    rows_format = results_format_of(results, results_format) if results is not None else None

    # The number of the first record of every partition, when rows are wanted.
    firsts = [1] * len(parts)
    counts = None
    if rows_format is not None and parts:
        firsts, counts = _first_numbers(
            client, [client.submit(count_partition, input, start, end, size, pure=False) for start, end in parts],
            timeout)
    header = None
    if rows_format == "tsv":
        header = (_core.result_header_with_tables if not isinstance(tables, str)
                  else _core.result_header_with_weights if weights is not None
                  else _core.result_header).encode("latin-1")

    def submit(i, prefixes):
        start, end = parts[i]
        return client.submit(group_partition, input, start, end, size, tables, firsts[i], rows_format, weights,
                             prefixes, i, pure=False, retries=1)

    lines_out, rows_out = _outputs(output, output_parts, results if rows_format else None, _run_id(), input, header)
    return _write_in_order(client, submit, len(parts), counts, input, lines_out, rows_out, timeout, progress,
                           "records")


def _group_frames_on(client, input, input_format, output, output_parts, tables, results, results_format,
                     partition_size, timeout, progress, weights=None):
    import dask

    frames = read_frames(input, input_format, partition_size)
    if input_format != "jsonl":
        # A header without a required column fails here, naming the columns.
        _core.TableSet(tables).group_frame_block(frames._meta)
    parts = frames.to_delayed()
    rows_format = results_format_of(results, results_format) if results is not None else None

    firsts = [1] * len(parts)
    counts = None
    if rows_format is not None and parts:
        firsts, counts = _first_numbers(client, client.compute([dask.delayed(len)(part) for part in parts]), timeout)
    header = _core.episode_result_header(weights is not None).encode("latin-1") if rows_format == "tsv" else None

    def submit(i, prefixes):
        return client.compute(dask.delayed(group_frame_partition, pure=False)(
            parts[i], tables, firsts[i], rows_format, weights, prefixes, i), retries=1)

    lines_out, rows_out = _outputs(output, output_parts, results if rows_format else None, _run_id(), input, header)
    return _write_in_order(client, submit, len(parts), counts, input, lines_out, rows_out, timeout, progress, "rows")


def _run_id():
    """A name of this run, distinct from any other run's beside the same outputs."""
    return f"{os.getpid()}-{uuid.uuid4().hex[:8]}"


def _group_any_on(client, input, input_format, output, output_parts, tables, results, results_format,
                  partition_size, timeout, progress, weights, table_dirs):
    import dask

    # Every submission would otherwise read and tokenize the source of the
    # function that made it, for the dashboard (milliseconds per task, on the
    # client's one thread): the runner's own code is not worth showing there.
    with dask.config.set({"distributed.diagnostics.computations.ignore-modules": [".*"]}):
        return _group_any_on_cluster(client, input, input_format, output, output_parts, tables, results,
                                     results_format, partition_size, timeout, progress, weights, table_dirs)


def _group_any_on_cluster(client, input, input_format, output, output_parts, tables, results, results_format,
                          partition_size, timeout, progress, weights, table_dirs):
    # The directories the workers write their parts into (none for a device or a pipe).
    directories = [os.path.dirname(target) for target in (output_parts, output, results)
                   if target is not None and (target == output_parts or not _special(target))]
    _check_workers(client, input, table_dirs, directories)
    if input_format == "fixed":
        return _group_on(client, input, output, output_parts, tables, results, results_format, partition_size,
                         timeout, progress, weights)
    return _group_frames_on(client, input, input_format, output, output_parts, tables, results, results_format,
                            partition_size, timeout, progress, weights)


def run(input, output, tables=None, results=None, *, results_format=None, partition_size=DEFAULT_PARTITION_SIZE,
        client=None, scheduler=None, local_workers=None, timeout=None, progress=False, weights=None,
        input_format=None, output_parts=None, registry=None):
    """Groups the episode file `input` on a Dask cluster into the result lines of `output`.

    tables: the table directory, as every worker sees it; or instead registry: a
    registry of table versions (see TableRegistry), each record grouped with the
    version of its date and the rows gaining the column tables, as the program's
    --registry gives them (records of fixed width, without weights, for now).
    results: the detailed
    result file, or None; results_format: 'tsv' or 'jsonl' (default: 'jsonl'
    for a name ending in .jsonl, else 'tsv').  partition_size: about how many
    bytes of input each partition holds.  output_parts: instead of `output`
    (then None), a directory that receives the result lines as part-00000 ...
    with _manifest.json (see the module's text); it must not exist or be empty.

    The cluster: `client` (a distributed.Client, left open), else the scheduler
    at address `scheduler`, else a LocalCluster of `local_workers` processes
    (default: the number of cores, at least 2) started for this run and closed
    at its end.  timeout: seconds to wait for any one partition (None: no
    limit).  progress: show a progress line on standard error.  weights: a cost
    weight catalogue, as every worker sees it: the result rows gain the weight
    columns, as the program's --weights gives them.  input_format: 'fixed'
    (records), 'csv', 'tsv' or 'jsonl' (episodes as named fields; the result
    rows gain the id column); default: by the name's ending, else 'fixed'.

    Returns the number of records (rows of named-field input).  Raises TableSetError when the table set
    cannot be opened and WeightCatalogueError when the catalogue fails its
    checks (both before any cluster is started), WorkerPathError when a worker
    cannot read the input or the tables or write beside the outputs, OSError
    when a file cannot be read or written, ValueError for bad arguments, and
    whatever a worker raised; no output is left behind on failure, and an
    output that existed before keeps its contents."""
    if (output is None) == (output_parts is None):
        raise ValueError("give either output or output_parts")
    if (tables is None) == (registry is None):
        raise ValueError("give either tables or registry")
    input = os.path.abspath(input)
    if output is not None:
        output = _target(output)
    if output_parts is not None:
        output_parts = os.path.abspath(output_parts)
    if results is not None:
        results = _target(results)
    if partition_size < 1:
        raise ValueError("the partition size is at least 1 byte")
    if results_format is not None:
        results_format_of(results or "", results_format)
    input_format = input_format_of(input, input_format)
    if output is not None and _same_file(input, output):
        raise OSError(f"the output {output} is the input file")
    if results is not None and (_same_file(results, input) or (output is not None and _same_file(results, output))):
        raise OSError(f"the result file {results} is the input or the output file")
    if output_parts is not None and results is not None and _same_file(os.path.dirname(results), output_parts):
        raise OSError(f"the result file {results} is inside the output directory {output_parts}")
    if not os.path.isfile(input):
        raise FileNotFoundError(f"the input {input} is not a readable file")

    # Fail fast, and with the loader's message, before any work is sent out.
    if registry is not None:
        if input_format != "fixed" or weights is not None:
            raise ValueError("a registry takes records of fixed width without weights for now")
        registry = os.path.abspath(registry)
        table_dirs = [os.fsdecode(v["directory"]) for v in _core.TableRegistry(registry).versions]
        tables = ("registry", registry)
    else:
        tables = os.path.abspath(tables)
        _core.TableSet(tables)
        table_dirs = tables
    if weights is not None:
        weights = os.path.abspath(weights)
        _core.WeightCatalogue(weights)

    arguments = (input, input_format, output, output_parts, tables, results, results_format, partition_size, timeout,
                 progress, weights, table_dirs)
    if client is not None:
        return _group_any_on(client, *arguments)

    import dask
    from distributed import Client, LocalCluster

    if scheduler is not None:
        with Client(scheduler, timeout=timeout if timeout is not None else "30s") as own:
            return _group_any_on(own, *arguments)
    workers = local_workers if local_workers is not None else _default_workers()
    if workers < 1:
        raise ValueError("at least one local worker is needed")
    # Without a dashboard nobody sees Dask's own statistical profiler, which
    # samples every process's stacks every 10 ms: it took a quarter to a third of
    # the cluster's CPU over a grouping run.
    with dask.config.set({"distributed.worker.profile.enabled": False}), \
            LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as own:
        return _group_any_on(own, *arguments)


def _positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not a positive number")
    return value


def _positive_float(text):
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"{text} is not a positive number")
    return value


def main(argv=None):
    """The command line: groups INPUT into OUTPUT on a cluster; returns the exit status (0, 1, or 2 for usage)."""
    parser = argparse.ArgumentParser(
        prog="python3 -m episode_grouper.dask",
        description="Groups an episode file on a Dask cluster: each worker writes the result lines and rows "
                    "of its partitions as parts beside the outputs, joined in input order into the same bytes as "
                    "the grouper program (or kept as numbered parts with --output-parts) and renamed into place "
                    "when complete.")
    parser.add_argument("input", metavar="INPUT", help="the episode file")
    parser.add_argument("output", metavar="OUTPUT", nargs="?", help="the result lines (unless --output-parts)")
    parser.add_argument("--output-parts", metavar="DIR",
                        help="instead of OUTPUT, keep the result lines as the parts DIR/part-00000 ... in input "
                             "order, with DIR/_manifest.json giving each part's first record, records and bytes; "
                             "DIR must not exist or be empty")
    sets = parser.add_mutually_exclusive_group(required=True)
    sets.add_argument("--tables", metavar="DIR", help="the table directory, as the workers see it")
    sets.add_argument("--registry", metavar="FILE",
                      help="instead of --tables, a registry of table versions (tab-separated: name, directory, "
                           "valid_from, valid_to), as the workers see it: each record is grouped with the version "
                           "of its record date, the result rows gain the column tables")
    parser.add_argument("--results", metavar="FILE", help="also write the detailed result file FILE")
    parser.add_argument("--weights", metavar="FILE",
                        help="weigh every episode with the cost weight catalogue FILE: the result rows gain "
                             "weight, effective_weight and los_class")
    parser.add_argument("--results-format", choices=("tsv", "jsonl"),
                        help="the detailed result file as TSV (default) or JSON Lines; a FILE ending in .jsonl "
                             "chooses JSON Lines")
    parser.add_argument("--input-format", choices=INPUT_FORMATS,
                        help="the input as fixed-width records (fixed, the default) or as episodes with named "
                             "fields: CSV or TSV with a header row, or JSON Lines; an INPUT ending in .csv, .tsv or "
                             ".jsonl chooses it")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="the address of a running scheduler")
    where.add_argument("--local-workers", type=_positive_int, metavar="N",
                       help=f"start a local cluster of N worker processes (default: {_default_workers()})")
    parser.add_argument("--partition-size", type=_positive_int, default=DEFAULT_PARTITION_SIZE, metavar="BYTES",
                        help=f"about how many bytes of input a partition holds (default: {DEFAULT_PARTITION_SIZE})")
    parser.add_argument("--timeout", type=_positive_float, metavar="SECONDS",
                        help="fail when a partition takes longer than this (default: no limit)")
    args = parser.parse_args(argv)
    if (args.output is None) == (args.output_parts is None):
        parser.error("give either OUTPUT or --output-parts DIR")

    try:
        records = run(args.input, args.output, args.tables, args.results, results_format=args.results_format,
                      partition_size=args.partition_size, scheduler=args.scheduler,
                      local_workers=args.local_workers, timeout=args.timeout, progress=sys.stderr.isatty(),
                      weights=args.weights, input_format=args.input_format,
                      output_parts=args.output_parts, registry=args.registry)
    except _core.TableSetError as e:
        print(f"{parser.prog}: cannot open the table set: {e}", file=sys.stderr)
        return 1
    except _core.WeightCatalogueError as e:
        print(f"{parser.prog}: {e}", file=sys.stderr)
        return 1
    except WorkerPathError as e:
        print(f"{parser.prog}: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{parser.prog}: interrupted", file=sys.stderr)
        return 1
    except Exception as e:  # a file, a worker or the cluster failed
        print(f"{parser.prog}: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
    print(f"{records} records", file=sys.stderr)
    return 0


if __name__ == "__main__":
    # Run the copy imported under the package's name, so that the functions the
    # workers call are found there by name (and the table set cache with them).
    from episode_grouper import dask as _runner

    from episode_grouper._process import exit_now

    exit_now(_runner.main())
