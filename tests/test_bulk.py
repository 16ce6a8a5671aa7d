"""Checking many addresses: verdicts as Contact.validate gives them, one
look-up per domain, and beyond one process."""

import json
import random
import sys
import threading
from collections import Counter
from pathlib import Path

import dns.name
import dns.resolver
import email_validator
import email_validator.syntax
import pytest

import quillon.contact
from quillon import _loopback, bulk
from quillon.contact import Contact
from support import ROOT, load_file

MX = _loopback.MX_DOMAIN
# An internationalised domain with MX records, and one that does not exist:
# the refusal names it in its Unicode form.
IDN_ZONE = {**_loopback.DEFAULT_ZONE, "xn--bcher-kva.example": {"MX": "10 mail.mx.example."}}


def assert_nothing_left_installed():
    library = sys.modules["email_validator.validate_email"]
    assert quillon.contact.validate_email is email_validator.validate_email
    assert library.validate_email_domain_name is email_validator.syntax.validate_email_domain_name


FAULTY = {_loopback.SILENT_DOMAIN, _loopback.SERVFAIL_DOMAIN, _loopback.TRUNCATED_DOMAIN}


def generated_list(count, seed=21):
    rng = random.Random(seed)
    domains = [
        MX,
        MX.upper(),
        _loopback.A_ONLY_DOMAIN,
        _loopback.AAAA_ONLY_DOMAIN,
        _loopback.NULL_MX_DOMAIN,
        _loopback.NO_RECORDS_DOMAIN,
        _loopback.PRIVATE_A_DOMAIN,
        _loopback.SPF_REJECT_DOMAIN,
        _loopback.UNKNOWN_DOMAIN,
        "bücher.example",
        "BÜCHER.example",
        "xn--bcher-kva.example",
        "straße-fehlt.example",
        _loopback.SERVFAIL_DOMAIN,
        _loopback.TRUNCATED_DOMAIN,
        "-bad.example",
        "nodot",
        "localhost",
    ]
    locals_ = ["a", "Bob.Smith", "x+tag", "ünï", "postmaster", "a..b", ""]
    addresses = [f"{rng.choice(locals_)}@{rng.choice(domains)}" for _ in range(count)]
    addresses += ["no-at-sign", "a@@mx.example", f"late@{_loopback.SILENT_DOMAIN}"]
    return addresses


@pytest.mark.parametrize(
    "options",
    [
        {"memo": True},
        {"memo": False},
        {"memo": True, "jobs": 1},
        {"memo": False, "jobs": 1},
        {"memo": True, "processes": 2, "jobs": 2},
    ],
    ids=["memo", "no-memo", "memo-one-job", "no-memo-one-job", "processes"],
)
def test_check_all_gives_contact_validate_verdicts(make_dns_server, options):
    server = make_dns_server(IDN_ZONE)
    addresses = generated_list(150)
    expected = [Contact.validate(address, 1) for address in addresses]
    server.queries.clear()
    verdicts = list(bulk.check_all(addresses, timeout=1, **options))
    assert [(v.valid, v.reason) for v in verdicts] == expected
    assert [v.address for v in verdicts] == addresses
    assert "The domain name straße-fehlt.example does not exist" in {r for _, r in expected}
    unknown = [v.address for v in verdicts if v.deliverability_unknown]
    assert {address.rpartition("@")[2] for address in unknown} == FAULTY
    assert all(
        v.normalized
        == email_validator.validate_email(v.address, check_deliverability=False).normalized
        for v in verdicts
        if v.valid
    )
    # An unknown deliverability is never remembered: asked for again for each
    # address (and once more when looked up ahead of its first address).
    servfail = sum(v.address.endswith(_loopback.SERVFAIL_DOMAIN) for v in verdicts if v.valid)
    assert 1 < servfail <= server.queries.count((_loopback.SERVFAIL_DOMAIN, "MX")) <= servfail + 2
    asked = Counter(question for question in server.queries if question[0] not in FAULTY)
    if options["memo"]:
        # One question per domain and type, however many workers.
        assert set(asked.values()) == {1}
    else:
        assert asked[(MX, "MX")] == sum(
            v.valid and v.address.lower().endswith("@" + MX) for v in verdicts
        )
    assert_nothing_left_installed()


@pytest.mark.parametrize(("ttl", "asked"), [(300, 1), (0, 3)])
def test_memo_keeps_an_outcome_no_longer_than_its_ttl(dns_server, ttl, asked):
    for rrset in dns_server._zone[dns.name.from_text(MX)].values():
        rrset.ttl = ttl
    list(bulk.check_all([f"{name}@{MX}" for name in "abc"]))
    assert dns_server.queries == [(MX, "MX")] * asked


@pytest.mark.parametrize("memo", [True, False])
def test_a_resolver_that_cannot_be_configured_fails_as_in_contact_validate(monkeypatch, memo):
    def unconfigured():
        raise dns.resolver.NoResolverConfiguration("no nameservers.")

    monkeypatch.setattr(dns.resolver, "get_default_resolver", unconfigured)
    addresses = [f"a@{MX}", "no-at-sign"]
    expected = [Contact.validate(address) for address in addresses]
    assert expected[0] == (False, "no nameservers")
    assert [(v.valid, v.reason) for v in bulk.check_all(addresses, memo=memo)] == expected


def test_overlapping_runs_in_two_threads_keep_their_own_settings(make_dns_server):
    # The same domain exists for one server and not for the other.
    here = make_dns_server(resolve=False).make_resolver()
    elsewhere = make_dns_server({}, resolve=False).make_resolver()
    first_taken, second_done = threading.Event(), threading.Event()
    results = {}

    def first():
        run = bulk.check_all([f"a@{MX}", f"b@{MX}"], resolver=here)
        results["first"] = [next(run)]
        first_taken.set()
        second_done.wait(30)
        results["first"] += list(run)

    def second():
        first_taken.wait(30)
        results["second"] = list(bulk.check_all([f"c@{MX}"], resolver=elsewhere))
        second_done.set()

    threads = [threading.Thread(target=first), threading.Thread(target=second)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert [v.reason for v in results["first"]] == ["Valid", "Valid"]
    assert [v.reason for v in results["second"]] == [f"The domain name {MX} does not exist"]
    assert_nothing_left_installed()


# --- dask ----------------------------------------------------------------------


def load_example():
    pytest.importorskip("dask.bag")
    pytest.importorskip("distributed")
    return load_file(ROOT / "examples" / "dask_check.py", "dask_check")


def test_dask_cluster_checks_partitions_of_addresses_on_prepared_workers(dns_server, tmp_path):
    example = load_example()
    from distributed import Client, LocalCluster

    lines = [
        "# exported",
        f"a@{MX}",
        "",
        f"b@{_loopback.UNKNOWN_DOMAIN}",
        "no-at-sign",
        f"c@{_loopback.A_ONLY_DOMAIN}",
    ] * 20
    (tmp_path / "list.txt").write_text("\n".join(lines) + "\n")
    expected = [
        {"address": f"a@{MX}", "valid": True, "reason": "Valid"},
        {
            "address": f"b@{_loopback.UNKNOWN_DOMAIN}",
            "valid": False,
            "reason": "The domain name unknown.example does not exist",
        },
        {"address": "no-at-sign", "valid": False, "reason": "An email address must have an @-sign"},
        {"address": f"c@{_loopback.A_ONLY_DOMAIN}", "valid": True, "reason": "Valid"},
    ] * 20
    with (
        LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            worker_dashboard_address=None,
        ) as cluster,
        Client(cluster, timeout=60) as client,
    ):
        written = example.check_file(
            str(tmp_path / "list.txt"),
            str(tmp_path / "out"),
            client=client,
            per_partition=20,
            resolver=dns_server.make_resolver(),
        )
        # 80 addresses, 20 to a partition.
        assert len(written) == 4
        records = [
            json.loads(line) for path in written for line in Path(path).read_text().splitlines()
        ]
        assert records == expected
        # A restart starts new worker processes, and a new worker is a new
        # process too: the plugin sets each up before its first task, or
        # it would ask the machine's resolver.
        client.restart()
        assert list(client.run(bulk.is_prepared).values()) == [True] * 2
        cluster.scale(3)
        client.wait_for_workers(3, timeout=60)
        assert list(client.run(bulk.is_prepared).values()) == [True] * 3
    # Each of the two workers asked about a domain once at most.
    assert 1 <= dns_server.queries.count((MX, "MX")) <= 2


def test_verdicts_before_an_input_error_are_all_given(dns_server):
    def addresses():
        yield from (f"{n}@{MX}" for n in range(8))
        raise OSError("the list could not be read further")

    given = []
    with pytest.raises(OSError, match="read further"):
        for verdict in bulk.check_all(addresses(), timeout=1, memo=False, jobs=4):
            given.append(verdict.address)
    assert given == [f"{n}@{MX}" for n in range(8)]
