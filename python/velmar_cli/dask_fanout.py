"""``velmar keyframes --dask``: one task per video on a Dask distributed cluster.

Imported only when ``--dask`` is given, so nothing else needs Dask. Workers
run the same `run_job` as a local run, so outcomes and the manifest are the
same. The output directory must be reachable by the workers under the same
path (a shared file system) for the images to land in one place.
"""

from __future__ import annotations

from collections.abc import Iterator
from distributed import Client, as_completed

from velmar_cli.keyframes import Job, Outcome, failed, run_job


def run_on_cluster(address: str, jobs: list[Job]) -> Iterator[tuple[int, Outcome]]:
    """Yields (job position, outcome) as the cluster finishes each video."""
    with Client(address, timeout="30s") as client:
        futures = [client.submit(run_job, job.as_dict(), pure=False) for job in jobs]
        position = {future.key: i for i, future in enumerate(futures)}
        for future in as_completed(futures):
            i = position[future.key]
            try:
                yield i, future.result()
            except Exception as exc:  # a worker died or the task was lost
                yield i, failed(jobs[i], repr(exc))
