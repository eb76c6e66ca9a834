"""The crawl audit as a Spark job: the rows of ``quillmark audit``, made on a cluster.

    spark-submit --master local[2] .../quillmark_files/crawl/spark_audit.py \\
        --format parquet --output OUTDIR PATHS...

PATHS are directories (searched recursively for .warc, .warc.gz and .wacz
files), globs ("**" crosses directories), archive files, WACZ packages, or
files listing paths one per line (any other file). The driver
lists the files and spreads them over the executors, balanced by size; each
executor opens its files itself (local paths, NFS, or any file system fsspec
reaches, by URL) and streams them through ``audit_target``, the function of
``quillmark audit`` (a WACZ package gives a row per WARC inside it). Spark's
``binaryFiles`` is never used: it would load whole files into executor
memory. Every executor needs the quillmark wheel.

Importable without pyspark: ``audit_dataframe(spark, paths)`` builds the
DataFrame from a SparkSession.
"""

from __future__ import annotations

import argparse
import heapq
import os
import sys
from collections.abc import Iterable, Iterator
from typing import Any

# Run as a script (as spark-submit runs it), this file's folder comes first on
# the path; no module of the package has the name of a standard module or of a
# dependency, so none hides one there.
from quillmark_files import is_package
from quillmark_files.crawl import Target, find_archives
from quillmark_files.crawl._audit import Verifying, audit_target
from quillmark_files.crawl._find import is_archive_name
from quillmark_files.crawl._report import field_names, fields
from quillmark_files.errors import CHANGED_WHILE_READ

FORMATS = ("parquet", "json")
# Partitions per core of the cluster: enough for the scheduler to even out
# files of unequal size, few enough that tasks stay cheap to start.
_PARTITIONS_PER_CORE = 4


def spark_schema(verify: bool = False) -> Any:
    """The DataFrame's schema: the fields of a row (with those of ``audit
    --verify`` when asked), as longs and strings."""
    from pyspark.sql.types import LongType, StringType, StructField, StructType

    kinds = {int: LongType(), str: StringType()}
    return StructType(
        [StructField(name, kinds[kind], nullable=True) for name, kind in fields(verify)]
    )


def list_targets(specs: Iterable[str]) -> list[Target]:
    """The files that ``specs`` name (see the module's description), in order."""
    targets: list[Target] = []
    for spec in specs:
        listed = _listed_paths(spec)
        targets.extend(find_archives([spec] if listed is None else listed, globs=listed is None))
    return targets


def _listed_paths(spec: str) -> list[str] | None:
    """The paths in ``spec`` when it is a local file of paths, else None."""
    if is_archive_name(spec) or "://" in spec or not os.path.isfile(spec) or is_package(spec):
        return None
    with open(spec, encoding="utf-8", errors="surrogateescape") as listing:
        return [line.rstrip("\r\n") for line in listing if line.strip()]


def balanced(targets: list[Target], partitions: int) -> list[list[Target]]:
    """The targets in ``partitions`` groups of about equal bytes: largest
    first, each into the lightest group so far."""
    groups: list[list[Target]] = [[] for _ in range(max(1, partitions))]
    heap = [(0, index) for index in range(len(groups))]
    for target in sorted(targets, key=lambda t: t.size or 0, reverse=True):
        load, index = heapq.heappop(heap)
        groups[index].append(target)
        heapq.heappush(heap, (load + (target.size or 0) + 1, index))
    return [group for group in groups if group]


def audit_group(
    group: Iterable[Target], inflater: str | None = None, verifying: Verifying | None = None
) -> Iterator[tuple[Any, ...]]:
    """Runs on an executor: the rows of one group, as tuples in field order."""
    names = field_names(verifying is not None)
    for target in group:
        for row in audit_target(target, inflater=inflater, verifying=verifying):
            yield tuple(row[name] for name in names)


def audit_dataframe(
    spark: Any,
    paths: Iterable[str],
    *,
    partitions: int | None = None,
    inflater: str | None = None,
    verifying: Verifying | None = None,
) -> Any:
    """A DataFrame of one row per archive file that ``paths`` name (per WARC
    of a package), with the fields of ``quillmark audit`` (``--verify`` with
    ``verifying``: every executor then needs c2pa-python); lazily computed,
    on the executors."""
    targets = list_targets(paths)
    context = spark.sparkContext
    if partitions is None:
        partitions = context.defaultParallelism * _PARTITIONS_PER_CORE
    groups = balanced(targets, min(partitions, len(targets)))
    rdd = context.parallelize(groups, max(1, len(groups))).flatMap(
        lambda group: audit_group(group, inflater, verifying)
    )
    return spark.createDataFrame(rdd, spark_schema(verifying is not None))


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="spark_audit.py",
        description="Audit the archive files of a crawl on Spark: one row per file, as "
        "quillmark audit writes them, to OUTDIR as Parquet or JSON lines.",
    )
    parser.add_argument(
        "paths", metavar="PATHS", nargs="+", help="a directory, a glob or a file listing paths"
    )
    parser.add_argument("--output", required=True, metavar="OUTDIR", help="where to write")
    parser.add_argument("--format", choices=FORMATS, default="parquet")
    parser.add_argument(
        "--mode",
        choices=("errorifexists", "overwrite"),
        default="errorifexists",
        help="what to do when OUTDIR exists (default: fail)",
    )
    parser.add_argument(
        "--partitions",
        type=int,
        metavar="N",
        help=f"tasks to spread the files over (default: {_PARTITIONS_PER_CORE} per core)",
    )
    parser.add_argument("--inflater", help="the gzip library (default: the fastest installed)")
    parser.add_argument(
        "--verify", action="store_true", help="verify each archive's signature as well"
    )
    parser.add_argument(
        "--trust-anchors", metavar="PEM", help="with --verify: root certificates, PEM"
    )
    return parser


def main(argv: list[str] | None = None) -> int:
    """The job, for spark-submit. Exit status 0 once the rows are written,
    failed files included (their rows say why): a failing status would make
    a cluster manager run the whole job again."""
    args = _parser().parse_args(argv)
    verifying = None
    if args.verify or args.trust_anchors:
        anchors = None
        if args.trust_anchors:
            with open(args.trust_anchors, encoding="utf-8") as stream:
                anchors = stream.read()
        verifying = Verifying(anchors)
    from pyspark.sql import SparkSession

    spark = SparkSession.builder.appName("quillmark audit").getOrCreate()
    try:
        frame = audit_dataframe(
            spark,
            args.paths,
            partitions=args.partitions,
            inflater=args.inflater,
            verifying=verifying,
        ).persist()
        writer = frame.write.mode(args.mode)
        if args.format == "json":  # null fields too, so that every line has every field
            writer.option("ignoreNullFields", "false").json(args.output)
        else:
            writer.parquet(args.output)
        files = frame.count()
        changed = frame.filter(frame.error == CHANGED_WHILE_READ).count()
        failed = frame.filter(frame.error.isNotNull()).count() - changed
        frame.unpersist()
    finally:
        spark.stop()
    print(
        f"{files} files audited, {failed} failed, {changed} changed while read; "
        f"rows in {args.output}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
