"""Checking many addresses beyond one process: the documented dask example."""

import json
from pathlib import Path

import pytest

from quillon import _loopback
from support import ROOT, load_file

MX = _loopback.MX_DOMAIN


def load_example():
    pytest.importorskip("dask.bag")
    return load_file(ROOT / "examples" / "dask_check.py", "dask_check")


def test_dask_bag_checks_each_partition_in_worker_processes(dns_server, tmp_path):
    example = load_example()
    lines = ["# exported", f"a@{MX}", "", f"b@{_loopback.UNKNOWN_DOMAIN}", "no-at-sign",
             f"c@{_loopback.A_ONLY_DOMAIN}"] * 20
    (tmp_path / "list.txt").write_text("\n".join(lines) + "\n")
    written = example.check_file(str(tmp_path / "list.txt"), str(tmp_path / "out"), workers=2,
                                 blocksize=200, resolver=dns_server.make_resolver())
    assert len(written) > 2
    records = [json.loads(line) for path in written for line in Path(path).read_text().split("\n")
               if line]
    assert records == [
        {"address": f"a@{MX}", "valid": True, "reason": "Valid"},
        {"address": f"b@{_loopback.UNKNOWN_DOMAIN}", "valid": False,
         "reason": "The domain name unknown.example does not exist"},
        {"address": "no-at-sign", "valid": False, "reason": "An email address must have an @-sign"},
        {"address": f"c@{_loopback.A_ONLY_DOMAIN}", "valid": True, "reason": "Valid"},
    ] * 20
    # Every answer came from the loopback server, and each of the two workers
    # asked about a domain at most once.
    assert 1 <= dns_server.queries.count((MX, "MX")) <= 2
