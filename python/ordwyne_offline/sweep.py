"""Spreading an evaluation over processes or a Dask cluster.

A sweep is many independent replays of one log. The engine settings are
split into chunks; each chunk is one task that reads the log once for all
of its settings (`eval_core.run_chunk`). Every row is computed whole inside
one task, in log order, so the results do not depend on the number of
processes or workers: they are identical to a single-process run, bit for
bit. Workers are started with "spawn": the task function lives at module
level and its argument pickles, so nothing relies on a forked parent.
"""

from __future__ import annotations

import concurrent.futures
import concurrent.futures.process
import multiprocessing
import os
import queue as queue_module
import shutil
import sys
import tempfile
import uuid
from typing import Callable, List, Optional, Sequence

from .eval_core import ChunkPlan, EvalError, GroupPlan, run_chunk

__all__ = ["split_groups", "run_local", "run_dask", "worker_paths", "spool_stdin"]


def split_groups(groups: Sequence[GroupPlan], chunks: int) -> List[List[int]]:
    """Indices of `groups` for each of at most `chunks` tasks, balanced by
    cost (one engine model per group plus a little per epsilon), each list
    in the groups' own order, so a task's rows keep the table's order."""
    chunks = max(1, min(chunks, len(groups)))
    loads = [0.0] * chunks
    members: List[List[int]] = [[] for _ in range(chunks)]
    order = sorted(range(len(groups)), key=lambda i: (-_cost(groups[i]), i))
    for i in order:
        target = min(range(chunks), key=lambda c: (loads[c], c))
        loads[target] += _cost(groups[i])
        members[target].append(i)
    return [sorted(m) for m in members if m]


def _cost(group: GroupPlan) -> float:
    return 1.0 + 0.2 * len(group.rows)


def worker_paths(paths: Sequence) -> list:
    """Local paths made absolute so a worker in another directory finds
    them (a directory's files, a tuple, each of them); URLs are left alone."""
    def one(p):
        return p if "://" in p or p == "-" else os.path.abspath(p)
    return [tuple(map(one, p)) if isinstance(p, tuple) else one(p) for p in paths]


def spool_stdin(directory: Optional[str] = None) -> str:
    """Standard input copied to a temporary file, for several readers."""
    fd, path = tempfile.mkstemp(prefix="ordwyne-eval-", suffix=".log", dir=directory)
    with os.fdopen(fd, "wb") as out:
        shutil.copyfileobj(sys.stdin.buffer, out, 1 << 20)
    return path


_progress_queue = None


def _init_worker(progress_queue) -> None:
    global _progress_queue
    _progress_queue = progress_queue


def _report(number: int, lines: int) -> None:
    if _progress_queue is not None:
        try:
            _progress_queue.put_nowait((number, lines))
        except Exception:  # progress is a courtesy; never fail the work for it
            pass


def _run_numbered(number: int, task: ChunkPlan) -> dict:
    return run_chunk(task, progress=lambda lines: _report(number, lines))


def run_local(tasks: Sequence[ChunkPlan], progress: Optional[Callable[[int], None]] = None
              ) -> List[dict]:
    """Runs the chunks, one process each (in this process when there is
    one). The first failing chunk in chunk order raises its error."""
    if len(tasks) == 1:
        return [run_chunk(tasks[0], progress=progress)]
    context = multiprocessing.get_context("spawn")
    progress_queue = context.Queue() if progress is not None else None
    seen = [0] * len(tasks)
    with concurrent.futures.ProcessPoolExecutor(
            max_workers=len(tasks), mp_context=context, initializer=_init_worker,
            initargs=(progress_queue,)) as pool:
        futures = [pool.submit(_run_numbered, i, s) for i, s in enumerate(tasks)]
        waiting = set(futures)
        while waiting:
            _, waiting = concurrent.futures.wait(waiting, timeout=0.2)
            if progress_queue is not None:
                _drain(progress_queue, seen)
                progress(min(seen))  # the slowest reader sets the pace
        try:
            results = [f.result() for f in futures]
        except concurrent.futures.process.BrokenProcessPool as e:
            raise EvalError(f"a worker process died: {e}") from None
    if progress_queue is not None:  # the workers have exited: their last counts are in
        _drain(progress_queue, seen)
        progress(min(seen))
        progress_queue.close()
    return results


def _drain(progress_queue, seen: List[int]) -> None:
    while True:
        try:
            number, lines = progress_queue.get_nowait()
        except queue_module.Empty:
            return
        except (EOFError, OSError):
            return
        if lines > seen[number]:
            seen[number] = lines


def run_dask(make_tasks: Callable[[int], Sequence[ChunkPlan]], address: str,
             progress: Optional[Callable[[int], None]] = None) -> List[dict]:
    """Runs the chunks that `make_tasks(number of worker threads)` gives as
    tasks on the Dask cluster at `address`. The workers need this package
    and the engine installed, and must reach the logs by the paths or URLs
    given."""
    try:
        import distributed
    except ImportError:
        raise EvalError("--scheduler needs Dask distributed "
                        "(pip install 'ordwyne[cluster]')") from None
    try:
        client = distributed.Client(address, timeout="20s")
    except (OSError, TimeoutError, ValueError) as e:
        raise EvalError(f"cannot reach the Dask scheduler at {address}: {e}") from None
    try:
        tasks = make_tasks(max(1, sum(client.nthreads().values())))
        name = None
        if progress is not None:
            name = f"ordwyne-eval-{uuid.uuid4().hex}"
            counts = distributed.Queue(name, client=client)
        futures = client.map(_run_on_worker, list(tasks), [name] * len(tasks),
                             list(range(len(tasks))), pure=False)
        if progress is not None:
            seen = [0] * len(tasks)
            waiting = list(futures)
            while True:
                waiting = [f for f in waiting if not f.done()]
                for number, lines in counts.get(batch=True):
                    seen[number] = max(seen[number], lines)
                progress(min(seen))
                if not waiting:
                    break
                try:
                    distributed.wait(waiting, timeout=0.5)
                except TimeoutError:
                    pass
        results = client.gather(futures)
    finally:
        client.close()
    return list(results)


def _run_on_worker(task: ChunkPlan, queue_name: Optional[str], number: int) -> dict:
    if queue_name is None:
        return run_chunk(task)
    import distributed
    counts = distributed.Queue(queue_name)
    return run_chunk(task, progress=lambda lines: counts.put((number, lines)))
