"""Checking many addresses: verdicts as Contact.validate gives them, one
look-up per domain, and beyond one process."""

import json
import multiprocessing
import random
import signal
import sys
import threading
import time
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import dns.name
import dns.resolver
import email_validator
import email_validator.syntax
import pytest

import quillon.contact
from quillon import _loopback, bulk
from quillon.bulk import _dispatch, _memo, _ordered, _processes
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
        "büch\uff45r.example",  # a full-width "e": the same domain once mapped
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


@pytest.mark.parametrize("memo", [True, False], ids=["memo", "no-memo"])
@pytest.mark.parametrize(
    ("setting", "value", "address"),
    [
        ("GLOBALLY_DELIVERABLE", False, "a@intranet"),
        ("ALLOW_DOMAIN_LITERAL", True, "a@[192.0.2.1]"),
        ("TEST_ENVIRONMENT", True, "a@x.test"),
        # Contact.validate asks for the look-up whatever the default.
        ("CHECK_DELIVERABILITY", False, f"a@{_loopback.UNKNOWN_DOMAIN}"),
    ],
)
def test_a_run_follows_email_validators_settings_as_contact_validate_does(
    dns_server, monkeypatch, memo, setting, value, address
):
    monkeypatch.setattr(email_validator, setting, value)
    expected = Contact.validate(address, 1)
    verdicts = bulk.check_all([address, address.upper()], timeout=1, memo=memo)
    assert [(v.valid, v.reason) for v in verdicts] == [expected, expected]


@pytest.mark.parametrize(
    ("addresses", "options", "error"),
    [
        ("alice@example.org", {}, r"not a str: use quillon.bulk.check\(address\)"),
        ([f"a@{MX}"], {"jobs": 0}, "jobs must be at least 1, not 0"),
        ([f"a@{MX}"], {"processes": -1}, "processes must be at least 1, not -1"),
        ([f"a@{MX}"], {"timeout": 0}, "timeout must be more than 0, not 0"),
    ],
)
def test_check_all_refuses_its_arguments_at_the_call(addresses, options, error):
    # At the call, not at the first verdict: nothing is iterated here.
    with pytest.raises(TypeError if isinstance(addresses, str) else ValueError, match=error):
        bulk.check_all(addresses, **options)


# --- the memo, one domain at a time on a clock of the test's ---------------------

YXDOMAIN = "yxdomain.example"  # a resolver's error, which email_validator words as a refusal
MEMO_ZONE = {
    **_loopback.DEFAULT_ZONE,
    YXDOMAIN: _loopback.Fault.YXDOMAIN,
    **{f"{name}.example": {"MX": "10 mail.mx.example."} for name in ("one", "two", "three")},
}


class Clock:
    """A monotonic clock that moves only when the test moves it."""

    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


@pytest.fixture
def memo_run(make_dns_server):
    """A run with the memo on a Clock, its DNS server, and the clock."""
    server, clock = make_dns_server(MEMO_ZONE), Clock()
    with _dispatch._dispatching():
        yield _memo._Run(None, 1, memo=True, clock=clock), server, clock
    assert_nothing_left_installed()


def asks(memo_run, address):
    """Whether checking ``address`` made the run ask DNS, and its reason."""
    run, server, _ = memo_run
    before = len(server.queries)
    reason = run.check(address).reason
    return len(server.queries) > before, reason


@pytest.mark.parametrize(
    ("ttl", "later", "asked_again"), [(300, 299, False), (300, 301, True), (0, 0, True)]
)
def test_memo_keeps_an_outcome_no_longer_than_its_ttl(memo_run, ttl, later, asked_again):
    _, server, clock = memo_run
    for rrset in server._zone[dns.name.from_text(MX)].values():
        rrset.ttl = ttl
    assert asks(memo_run, f"a@{MX}") == (True, "Valid")
    clock.now += later
    assert asks(memo_run, f"b@{MX}") == (asked_again, "Valid")


@pytest.mark.parametrize(
    ("domain", "remembered", "reason"),
    [
        (MX, True, "Valid"),
        (_loopback.NULL_MX_DOMAIN, True, "The domain name null-mx.example does not accept email"),
        # The resolver's fault, not the domain's answer, though worded as a refusal.
        (YXDOMAIN, False, "There was an error while checking if the domain name in the email"),
    ],
)
def test_memo_keeps_what_the_domain_answered_and_nothing_else(memo_run, domain, remembered, reason):
    first, again = asks(memo_run, f"a@{domain}"), asks(memo_run, f"b@{domain}")
    assert (first[0], again[0]) == (True, not remembered)
    assert first[1] == again[1] and first[1].startswith(reason)


def test_a_domain_looked_up_ahead_costs_its_addresses_no_question(memo_run):
    run, server, _ = memo_run
    # As it follows an "@": any case, or no domain at all (refused at its check).
    for domain in [MX.upper(), "nodot", ""]:
        run.prefetch(domain)
    assert server.queries == [(MX, "MX")]
    assert asks(memo_run, f"a@{MX}") == (False, "Valid")


def test_a_prepared_process_answers_contact_validates_call_and_no_other(memo_run, monkeypatch):
    run, server, _ = memo_run
    monkeypatch.setattr(_dispatch, "_process_run", run)
    validate = quillon.contact.validate_email
    # Contact.validate's call: the run's, which remembers the domain, and
    # sets what email_validator would.
    assert validate(f"a@{MX}", check_deliverability=True, timeout=1).mx
    assert validate(f"b@{MX}", check_deliverability=True, timeout=1).mx
    a_only = validate(f"a@{_loopback.A_ONLY_DOMAIN}", check_deliverability=True, timeout=1)
    assert a_only.mx_fallback_type == "A"
    # Any other goes to the library as it is: it asks again, or not at all.
    resolver = dns.resolver.get_default_resolver()
    assert validate(f"c@{MX}", check_deliverability=True, dns_resolver=resolver).mx
    assert getattr(validate(f"d@{MX}", check_deliverability=False, timeout=1), "mx", None) is None
    assert server.queries.count((MX, "MX")) == 2


@pytest.mark.parametrize(
    "steps",
    [
        [("one", 0, True), ("two", 0, True), ("three", 0, True), ("three", 0, False)]
        + [("two", 0, False), ("one", 0, True)],
        # Asked for again once its TTL is over, two is the newest, and
        # pushes out nothing while it takes its own place.
        [("one", 0, True), ("two", 0, True), ("two", 301, True), ("one", 0, False)],
    ],
    ids=["oldest-out", "renewed"],
)
def test_memo_pushes_out_the_oldest_domain_when_full(memo_run, monkeypatch, steps):
    monkeypatch.setattr(bulk, "MEMO_SIZE", 2)
    run, server, clock = memo_run
    for name, ttl in [("one", 600), ("two", 300), ("three", 300)]:
        for rrset in server._zone[dns.name.from_text(f"{name}.example")].values():
            rrset.ttl = ttl
    asked = []
    for name, later, _ in steps:
        clock.now += later
        asked.append(asks(memo_run, f"a@{name}.example")[0])
    assert asked == [a for _, _, a in steps]
    assert (len(run._outcomes), len(run._syntax)) == (2, 2)


@pytest.mark.parametrize("memo", [True, False])
def test_a_resolver_that_cannot_be_configured_fails_as_in_contact_validate(monkeypatch, memo):
    def unconfigured():
        raise dns.resolver.NoResolverConfiguration("no nameservers.")

    monkeypatch.setattr(dns.resolver, "get_default_resolver", unconfigured)
    addresses = [f"a@{MX}", "no-at-sign"]
    expected = [Contact.validate(address) for address in addresses]
    assert expected[0] == (False, "no nameservers")
    assert [(v.valid, v.reason) for v in bulk.check_all(addresses, memo=memo)] == expected


class NotingTimeouts(dns.resolver.Resolver):
    """A resolver that notes the time-out each question is asked with."""

    def resolve(self, *args, lifetime=None, **options):
        self.lifetimes.add(lifetime)
        return super().resolve(*args, lifetime=lifetime, **options)


def noting_timeouts(server):
    resolver = server.make_resolver()
    resolver.__class__, resolver.lifetimes = NotingTimeouts, set()
    return resolver


def test_overlapping_runs_in_two_threads_keep_their_own_settings(make_dns_server):
    # The same domain exists for one server and not for the other; each run
    # asks its own with its own time-out (a fraction, not Contact.validate's
    # whole seconds), and a call outside both goes to the library unchanged.
    here = noting_timeouts(make_dns_server(resolve=False))
    elsewhere = noting_timeouts(make_dns_server({}, resolve=False))
    first_taken, second_done = threading.Event(), threading.Event()
    results = {}

    def first():
        run = bulk.check_all([f"a@{MX}", f"b@{MX}"], resolver=here, timeout=1.5)
        results["first"] = [next(run)]
        first_taken.set()
        second_done.wait(30)
        # Between two verdicts, in the run's thread: no call of the run's.
        results["outside"] = quillon.contact.validate_email(
            "a@intranet", check_deliverability=False, globally_deliverable=False
        ).normalized
        results["first"] += list(run)

    def second():
        first_taken.wait(30)
        checked = bulk.check_all([f"c@{MX}"], resolver=elsewhere, timeout=0.5, memo=False)
        results["second"] = list(checked)
        second_done.set()

    threads = [threading.Thread(target=first), threading.Thread(target=second)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert [v.reason for v in results["first"]] == ["Valid", "Valid"]
    assert [v.reason for v in results["second"]] == [f"The domain name {MX} does not exist"]
    assert results["outside"] == "a@intranet"
    assert (here.lifetimes, elsewhere.lifetimes) == ({1.5}, {0.5})
    assert_nothing_left_installed()


def test_check_on_its_own_asks_with_contact_validates_time_out(dns_server, monkeypatch):
    resolver = noting_timeouts(dns_server)
    monkeypatch.setattr(dns.resolver, "default_resolver", resolver)
    assert bulk.check(f"a@{MX}").reason == "Valid"
    assert resolver.lifetimes == {2}


def test_a_domain_wanted_by_two_threads_at_once_is_asked_about_once(make_dns_server):
    # The second waits for the first's answer and takes it, even one that is
    # not to be remembered (deliverability unknown).
    server = make_dns_server(latency=0.5)
    addresses = [f"a@{_loopback.SERVFAIL_DOMAIN}", f"b@{_loopback.SERVFAIL_DOMAIN}"]
    with _dispatch._dispatching(), ThreadPoolExecutor(2) as threads:
        run = _memo._Run(None, 2, memo=True)
        verdicts = list(threads.map(run.check, addresses))
    assert [(v.valid, v.deliverability_unknown) for v in verdicts] == [(True, True)] * 2
    assert server.queries == [(_loopback.SERVFAIL_DOMAIN, "MX")]


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
        f"c@{_loopback.SERVFAIL_DOMAIN}",
    ] * 20
    (tmp_path / "list.txt").write_text("\n".join(lines) + "\n")
    expected = [
        {"address": f"a@{MX}", "valid": True, "reason": "Valid", "normalized": f"a@{MX}"},
        {
            "address": f"b@{_loopback.UNKNOWN_DOMAIN}",
            "valid": False,
            "reason": "The domain name unknown.example does not exist",
        },
        {"address": "no-at-sign", "valid": False, "reason": "An email address must have an @-sign"},
        # Valid, but not known to take mail: the record says so.
        {
            "address": f"c@{_loopback.SERVFAIL_DOMAIN}",
            "valid": True,
            "reason": "Valid",
            "normalized": f"c@{_loopback.SERVFAIL_DOMAIN}",
            "deliverability": "unknown",
        },
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


MODES = {
    "memo": {"memo": True},
    "threads": {"memo": True, "jobs": 4},
    "no-memo": {"memo": False, "jobs": 4},
    "processes": {"processes": 2},
}


@pytest.mark.parametrize("options", MODES.values(), ids=MODES.keys())
@pytest.mark.parametrize(
    ("bad", "error"),
    [
        (OSError("the list could not be read further"), "the list could not be read further"),
        (None, r"check_all takes addresses as str, not NoneType \(item 9\)"),
    ],
    ids=["raised", "not-a-str"],
)
def test_verdicts_before_an_input_error_are_all_given(dns_server, options, bad, error):
    def addresses():
        yield from (f"{n}@{MX}" for n in range(8))
        if isinstance(bad, Exception):
            raise bad
        yield bad
        yield f"late@{MX}"

    given = []
    with pytest.raises(type(bad) if isinstance(bad, Exception) else TypeError, match=error):
        for verdict in bulk.check_all(addresses(), timeout=1, **options):
            given.append(verdict.address)
    assert given == [f"{n}@{MX}" for n in range(8)]
    assert_nothing_left_installed()


# --- how the modes schedule their checks ------------------------------------

SILENT = _loopback.SILENT_DOMAIN


def timed_queries(server):
    """(time, question) of each question that reaches ``server``, in order."""
    times = []

    class Timed(list):
        def append(self, question):
            times.append((time.monotonic(), question))
            super().append(question)

    server.queries = Timed()
    return times


@pytest.mark.parametrize("options", [{}, {"processes": 2}], ids=["memo", "processes"])
def test_domains_are_looked_up_ahead_of_their_addresses(dns_server, options):
    # The first domain never answers: the second's question goes out during
    # that wait, not after it. (Both domains belong to the same worker.)
    other = next(
        domain
        for domain in (MX, _loopback.A_ONLY_DOMAIN, _loopback.AAAA_ONLY_DOMAIN)
        if _processes._owner(f"a@{domain}", 2) == _processes._owner(f"a@{SILENT}", 2)
    )
    asked = timed_queries(dns_server)
    verdicts = list(bulk.check_all([f"a@{SILENT}", f"b@{other}"], timeout=2, **options))
    assert [v.deliverability_unknown for v in verdicts] == [True, False]
    first = {question: at for at, question in reversed(asked)}
    # Asked after the first's verdict, it would come 2 s later.
    assert first[(other, "MX")] - first[(SILENT, "MX")] < 1.5


@pytest.mark.parametrize(
    "options", [{"jobs": 2}, {"jobs": 2, "processes": 2}], ids=["threads", "processes"]
)
def test_jobs_bound_the_checks_under_way_and_a_slow_input_is_waited_for(dns_server, options):
    # Four addresses of a domain that never answers, two at a time; then
    # addresses that come slowly, while the checks before them are under way.
    asked = timed_queries(dns_server)

    def addresses():
        time.sleep(0.05)
        yield from (f"{n}@{SILENT}" for n in range(4))
        for n in range(2):
            time.sleep(0.1)
            yield f"{n}@{MX}"

    verdicts = list(bulk.check_all(addresses(), timeout=2, memo=False, **options))
    assert [v.deliverability_unknown for v in verdicts] == [True] * 4 + [False] * 2
    silent = [at for at, (name, _) in asked if name == SILENT]
    assert len(silent) == 4
    # Two at once, the next two once the first have waited their 2 s.
    assert sum(at < silent[0] + 1.5 for at in silent) == 2


def test_the_input_is_read_only_so_far_ahead_of_the_verdicts():
    pulled = []

    def addresses():
        for n in range(20_000):
            pulled.append(n)
            yield "no-at-sign"

    verdicts = bulk.check_all(addresses())
    next(verdicts)
    time.sleep(0.2)
    assert len(pulled) <= _ordered._AHEAD + _ordered._TAKE + 1
    verdicts.close()


@pytest.mark.parametrize(
    ("options", "lead"),
    [({"memo": False, "jobs": 2}, []), ({"memo": False, "jobs": 1, "processes": 2}, ["x"])],
    ids=["threads", "processes"],
)
def test_a_run_left_early_stops_its_checks(dns_server, options, lead):
    # Left while checks of a domain that never answers are under way, more
    # than the threads hold at once: those not begun are dropped, the busy
    # workers ended, the thread that feeds them (waiting for room for a
    # batch) too. (For processes the first verdict comes from a batch of
    # its own, answered at once.)
    def addresses():
        yield from lead
        time.sleep(0.1)
        yield from [f"{n}@{SILENT}" for n in range(20)] + ["no-at-sign"] * 8000

    verdicts = bulk.check_all(addresses(), timeout=1, **options)
    next(verdicts)
    time.sleep(0.3)  # the checks after it are under way
    verdicts.close()
    time.sleep(0.3)  # and their questions have arrived
    asked = len(dns_server.queries)
    assert asked
    time.sleep(1.2)
    assert len(dns_server.queries) == asked
    assert not multiprocessing.active_children()
    assert "quillon-batch" not in {thread.name for thread in threading.enumerate()}


@pytest.mark.parametrize(
    ("target", "argument", "how"),
    [
        (sys.exit, 0, "exit status 0"),
        (signal.raise_signal, signal.SIGKILL, "killed by SIGKILL"),
        (signal.raise_signal, signal.SIGRTMIN + 6, f"killed by signal {signal.SIGRTMIN + 6}"),
    ],
)
def test_a_lost_worker_is_named_with_how_it_ended(target, argument, how):
    worker = multiprocessing.get_context("spawn").Process(target=target, args=(argument,))
    worker.start()
    error = _processes._lost(3, worker)
    assert str(error) == f"worker process 3 ended unexpectedly ({how})"
