"""Time quillon's native classes against a pure-Python model of them.

    uv run python benchmarks/bench.py [--quick] [--logger identity|ours] [--no-cython]

The model (benchmarks/model.py) is what the package would be if it were
written in Python: the same checks, the same normaliser as five string method
calls. Native and model run in one process and are timed in alternation, so
the ratio native/model is what carries over from one machine to another, not
the nanoseconds.

The same model compiled by Cython is a second peer: what compiling the
Python, without writing C++, would give. It is built at start into a
temporary directory (Cython from the dev group and the C compiler the
interpreter was built with); when it cannot be built the script says why and
leaves that column out.

Both are decorated the same way. `--logger identity` puts a stand-in `logger`
module into `sys.modules` before anything imports it, whose `logging(prefix=)`
returns the function unchanged; `--logger ours` uses the package's own
`logger` with DEBUG off. Without `--logger` the script runs itself once per
choice, each in a fresh interpreter, since the choice is made at import.

For the normaliser there is also a floor: a bare `str.split(",")` that builds
the same list from text that is already clean. No normaliser can beat it by
much, so native/floor says how much room is left.

Each statement is calibrated to about 0.1 s a round (0.02 s with --quick),
warmed up, then timed in 9 rounds (5) with native, model and floor taking
turns to go first; the table shows the best round, less the cost of an empty
loop.

Nothing is sent and nothing is looked up: the SMTP client and `validate_email`
are replaced by stand-ins in both the native module and the model while their
rows are timed.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import platform
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import timeit
import types
from dataclasses import dataclass, field
from pathlib import Path

CHOICES = ("identity", "ours")


# --- choosing the decorator -------------------------------------------------


def install_logger(choice):
    """Make `from logger import logging` give the decorator factory chosen."""
    if choice == "identity":
        stand_in = types.ModuleType("logger")

        def logging(prefix):
            return lambda func: func

        stand_in.logging = logging
        sys.modules["logger"] = stand_in
    else:
        import logger  # noqa: F401  (the real one, imported before the modules are)
    return sys.modules["logger"]


MODEL = Path(__file__).resolve().parent / "model.py"
CYTHON_MODULE = "cython_model"


def build_cython_model(directory):
    """Compile model.py with Cython into `directory`; None when built, else why not."""
    source = Path(directory) / f"{CYTHON_MODULE}.py"
    shutil.copyfile(MODEL, source)
    c_file = source.with_suffix(".c")
    library = source.with_name(CYTHON_MODULE + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")
    steps = [
        [sys.executable, "-m", "cython", "-3", "-o", str(c_file), str(source)],
        [
            *compiler,
            "-O2",
            "-fPIC",
            "-shared",
            "-I",
            sysconfig.get_paths()["include"],
            str(c_file),
            "-o",
            str(library),
        ],
    ]
    for step in steps:
        try:
            done = subprocess.run(step, capture_output=True, text=True)
        except OSError as exc:
            return f"{step[0]}: {exc}"
        if done.returncode:
            last = (done.stderr or done.stdout).strip().splitlines()[-1:] or ["failed"]
            return f"{Path(step[0]).name} {' '.join(step[1:3])}: {last[0]}"
    return None


def load(choice, cython_dir):
    logger = install_logger(choice)
    import quillon.contact
    import quillon.email

    sys.path.insert(0, str(MODEL.parent))
    import model

    compiled = None
    if cython_dir:
        sys.path.insert(0, cython_dir)
        compiled = importlib.import_module(CYTHON_MODULE)
    for module in (quillon.email, quillon.contact, model, compiled):
        if module is not None and module.logging is not logger.logging:
            raise SystemExit(f"{module.__name__} took its decorator from elsewhere")
    return quillon.email, quillon.contact, model, compiled, logger


# --- stand-ins for the outside world ----------------------------------------


class StubSMTP:
    """An SMTP client that connects to nothing."""

    __slots__ = ()

    def __init__(self, host=None):
        pass

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        return None

    def login(self, user, password):
        pass

    def send_message(self, msg):
        pass


class RecordingSMTP(StubSMTP):
    """Keeps the last message handed over, for the checks before timing."""

    __slots__ = ()
    sent = []

    def send_message(self, msg):
        RecordingSMTP.sent.append(msg)


class StubMultipart:
    __slots__ = ("headers", "parts")

    def __init__(self):
        self.headers = []
        self.parts = []

    def __setitem__(self, name, value):
        self.headers.append((name, value))

    def __getitem__(self, name):
        return next((value for key, value in self.headers if key == name), None)

    def attach(self, payload):
        self.parts.append(payload)


class StubText:
    __slots__ = ()

    def __init__(self, _text, _subtype):
        pass


class StubBase:
    __slots__ = ()

    def __init__(self, _maintype, _subtype):
        pass

    def set_payload(self, payload):
        pass

    def add_header(self, _name, _value, **params):
        pass


def _encode_base64(msg):
    pass


stub_encoders = types.ModuleType("encoders")
stub_encoders.encode_base64 = _encode_base64


# --- the harness ------------------------------------------------------------


@dataclass
class Timed:
    stmt: str
    names: dict
    timer: timeit.Timer = None
    number: int = 0
    samples: list = field(default_factory=list)

    def __post_init__(self):
        # The objects are bound to locals before the clock starts, so the
        # statement pays for a local load, as in real code, not a global one.
        setup = "\n".join(f"{name} = __names__[{name!r}]" for name in self.names) or "pass"
        self.timer = timeit.Timer(self.stmt, setup, globals={"__names__": self.names})

    def calibrate(self, target):
        number = 1
        while True:
            elapsed = self.timer.timeit(number)
            if elapsed >= target / 10 or number >= 10**8:
                break
            number *= 10 if elapsed < target / 100 else 2
        self.number = max(1, int(number * target / max(elapsed, 1e-9)))
        self.timer.timeit(max(1, self.number // 4))  # warm-up at full size

    def sample(self):
        self.samples.append(self.timer.timeit(self.number) / self.number * 1e9)

    def best(self, overhead):
        return max(min(self.samples) - overhead, 0.0)


@dataclass
class Case:
    name: str
    native: Timed
    model: Timed | None = None
    floor: Timed | None = None
    patches: list = field(default_factory=list)  # (object, attribute, value)
    cython: Timed | None = None

    def timed(self):
        return [t for t in (self.native, self.model, self.cython, self.floor) if t is not None]

    def patched(self):
        return patched(self.patches)


@contextlib.contextmanager
def patched(patches):
    """Rebind module globals for a while, in the native modules and the model alike."""
    saved = [(obj, name, getattr(obj, name)) for obj, name, _ in patches]
    for obj, name, value in patches:
        setattr(obj, name, value)
    try:
        yield
    finally:
        for obj, name, value in saved:
            setattr(obj, name, value)


def measure(cases, repeats, target):
    loop = Timed("pass", {})
    loop.calibrate(target)
    for case in cases:
        with case.patched():
            for timed in case.timed():
                timed.calibrate(target)
    for round_ in range(repeats):
        loop.sample()
        for case in cases:
            with case.patched():
                order = case.timed()
                shift = round_ % len(order)
                for timed in order[shift:] + order[:shift]:
                    timed.sample()
    return min(loop.samples)


# --- what is timed ----------------------------------------------------------

FIELDS = dict(
    server="smtp.example.org",
    username="mailer",
    password="secret",
    from_="Reports@Example.org",
    to="Alice@Example.org; Bob@Example.org, carol@example.org",
    cc=["Dave@Example.org", "erin@example.org"],
    bcc=("Frank@Example.org",),
    subject="Quarterly report",
    message="<p>Hello, here are the figures.</p>",
    attachments=[("report.txt", b"figures\n" * 32), ("data.csv", b"a,b\n" * 64)],
)


def many_addresses(count, local, domain):
    separators = ("; ", ", ", ",\t", ";")
    text = (
        "".join(f"{local}{i}@{domain}{i % 10}.Example{separators[i % 4]}" for i in range(count - 1))
        + f"{local}{count - 1}@{domain}{(count - 1) % 10}.Example"
    )
    items = [f" {local}{i}@{domain}{i % 10}.Example" for i in range(count)]
    return text, items


def literal_normalise(emails):
    if isinstance(emails, (list, tuple)):
        emails = ",".join(emails)
    return emails.replace("\t", "").replace(" ", "").replace(";", ",").lower().split(",")


def alike(headers):
    """Headers with the two that differ from one send to the next left out."""
    return [(name, value) for name, value in headers if name not in ("Date", "Message-ID")]


def build_cases(native_email, native_contact, model, compiled):
    Email = native_email.Email
    Contact = native_contact.Contact
    models = [model] if compiled is None else [model, compiled]
    values = tuple(FIELDS.values())
    args = dict(zip("supfxcbjma", values, strict=True))
    construct = "cls(s, u, p, f, x, c, b, j, m, a)"
    email = Email(*values)
    model_emails = [peer.ModelEmail(*values) for peer in models]
    address = "Someone@Example.org"
    native_names = dict(cls=Email, e=email, C=Contact, k=Contact(address, 5))
    peer_names = [
        dict(cls=peer.ModelEmail, e=instance, C=peer.ModelContact, k=peer.ModelContact(address, 5))
        for peer, instance in zip(models, model_emails, strict=True)
    ]

    def pair(name, stmt, names, model_stmt=None, floor=None, patches=()):
        peers = [Timed(model_stmt or stmt, each | names) for each in peer_names]
        return Case(
            name,
            Timed(stmt, native_names | names),
            peers[0],
            floor,
            list(patches),
            peers[1] if compiled is not None else None,
        )

    cases = [
        pair("Email(...), ten fields", construct, args),
        pair("e.to = text", "e.to = t", {"t": FIELDS["to"]}),
        pair("e.to", "e.to", {}),
        pair("e.subject", "e.subject", {}),
        pair("e.subject = 'x'", "e.subject = 'x'", {}),
    ]

    short_text, short_list = (
        "Alice@Example.org; bob@example.org",
        ["Alice@Example.org", "bob@example.org"],
    )
    ascii_text, ascii_items = many_addresses(1000, "First.Last", "Mail")
    other_text, other_items = many_addresses(1000, "Jürgen.Groß", "Bücher")
    # As people write them: capitals, and a blank after every separator.
    written = "; ".join(f"User{i}@Example.org" for i in range(1, 1001))
    inputs = [
        ("normalise 2-item list", short_list),
        ("normalise 2-address text", short_text),
        ("normalise 1,000 as written", written),
        ("  the same, no blanks/capitals", written.replace(" ", "").lower()),
        ("normalise 1,000 in one text", ascii_text),
        ("normalise 1,000-item list", ascii_items),
        ("normalise 1,000 non-ASCII text", other_text),
        ("normalise 1,000 non-ASCII list", other_items),
    ]
    for name, value in inputs:
        expected = literal_normalise(value)
        clean = ",".join(expected)
        if clean.split(",") != expected:
            raise SystemExit(f"{name}: the floor would not build the same list")
        for cls in (Email, *(peer.ModelEmail for peer in models)):
            got = getattr(cls, f"_{cls.__name__}__normalize")(emails=value)
            if got != expected:
                raise SystemExit(f"{name}: {cls.__module__}.{cls.__name__} normalises differently")
        cases.append(
            pair(
                name,
                "cls._Email__normalize(emails=v)",
                {"v": value},
                "cls._ModelEmail__normalize(emails=v)",
                Timed("t.split(',')", {"t": clean}),
            )
        )

    valid = model.ValidatedEmail()

    def accept(email, check_deliverability=True, timeout=None):
        return valid

    def reject(email, check_deliverability=True, timeout=None):
        raise model.EmailNotValidError("The domain name example.invalid does not exist.")

    def validation(substitute):
        return [(module, "validate_email", substitute) for module in (native_contact, *models)]

    for cls in (Contact, *(peer.ModelContact for peer in models)):
        with patched(validation(accept)):
            if (
                cls.validate(email=address, timeout=5) != (True, "Valid")
                or not cls(address).is_valid
            ):
                raise SystemExit(f"{cls.__name__}: validation stand-in not used")
        with patched(validation(reject)):
            if cls.validate(address) != (False, "The domain name example.invalid does not exist"):
                raise SystemExit(f"{cls.__name__}: rejection comes back differently")
    cases += [
        pair("Contact(...)", "C(a, 10)", {"a": address}),
        pair(
            "Contact.validate, accepted",
            "C.validate(email=a, timeout=5)",
            {"a": address},
            patches=validation(accept),
        ),
        pair(
            "Contact.validate, rejected",
            "C.validate(email=a, timeout=5)",
            {"a": address},
            patches=validation(reject),
        ),
        pair("c.is_valid", "k.is_valid", {}, patches=validation(accept)),
    ]

    stub_mime = [
        ("MIMEMultipart", StubMultipart),
        ("MIMEText", StubText),
        ("MIMEBase", StubBase),
        ("encoders", stub_encoders),
    ]
    for mime in (stub_mime, []):
        patches = [
            (module, name, value)
            for module in (native_email, *models)
            for name, value in [("SMTP", StubSMTP), *mime]
        ]
        check = [(module, "SMTP", RecordingSMTP) for module in (native_email, *models)]
        with patched(patches + check):
            RecordingSMTP.sent.clear()
            for sender in (email, *model_emails):
                sender.send()
            if mime:
                built = [(alike(sent.headers), len(sent.parts)) for sent in RecordingSMTP.sent]
            else:
                built = [
                    (alike(sent.items()), len(sent.get_payload())) for sent in RecordingSMTP.sent
                ]
            if any(one != built[0] for one in built):
                raise SystemExit("send builds different messages")
        name = "send, stub SMTP and MIME" if mime else "send, stub SMTP, stdlib MIME"
        cases.append(pair(name, "e.send()", {}, patches=patches))
    return cases


def logger_cases(logger):
    def trivial(emails=None):
        return emails

    wrapped = logger.logging(prefix="quillon.bench")(trivial)
    return [
        Case("f()", Timed("f()", {"f": trivial}), Timed("f()", {"f": wrapped})),
        Case(
            "f(emails=v)",
            Timed("f(emails=v)", {"f": trivial, "v": "x"}),
            Timed("f(emails=v)", {"f": wrapped, "v": "x"}),
        ),
    ]


# --- report -----------------------------------------------------------------


def ratio(a, b):
    return f"{a / b:.2f}x" if b else "-"


def report(choice, cases, extra, overhead, repeats, cython_note):
    print(
        f"\nquillon benchmark, decorator: {choice} "
        f"(Python {platform.python_version()}, {os.cpu_count()} CPUs, best of {repeats}, "
        f"empty loop {overhead:.1f} ns per call subtracted)"
    )
    if cython_note:
        print(f"Cython-compiled model left out: {cython_note}")
    compiled = not cython_note
    header = (
        f"{'':32} {'native ns':>11} {'model ns':>11} {'native/model':>13}"
        + (f" {'Cython ns':>11} {'native/Cython':>14}" if compiled else "")
        + f" {'floor ns':>10} {'native/floor':>13}"
    )
    print(header)
    print("-" * len(header))
    for case in cases:
        native = case.native.best(overhead)
        model = case.model.best(overhead)
        line = f"{case.name:32} {native:11.1f} {model:11.1f} {ratio(native, model):>13}"
        if compiled:
            cython = case.cython.best(overhead)
            line += f" {cython:11.1f} {ratio(native, cython):>14}"
        if case.floor:
            floor = case.floor.best(overhead)
            line += f" {floor:10.1f} {ratio(native, floor):>13}"
        print(line)
    if extra:
        print("\nlogger.logging(prefix=...) with DEBUG off, around a trivial function:")
        for case in extra:
            direct, wrapped = case.native.best(overhead), case.model.best(overhead)
            print(
                f"  {case.name:14} direct {direct:7.1f} ns, wrapped {wrapped:7.1f} ns, "
                f"added {wrapped - direct:6.1f} ns per call"
            )


def run_one(choice, quick, repeats, cython_dir, cython_note):
    native_email, native_contact, model, compiled, logger = load(choice, cython_dir)
    cases = build_cases(native_email, native_contact, model, compiled)
    extra = logger_cases(logger) if choice == "ours" else []
    repeats = repeats or (5 if quick else 9)
    overhead = measure(cases + extra, repeats, target=0.02 if quick else 0.1)
    report(choice, cases, extra, overhead, repeats, cython_note)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="shorter timings, for a first look")
    parser.add_argument(
        "--logger",
        choices=CHOICES,
        help="decorate with an identity decorator or with our logger "
        "(default: both, one interpreter each)",
    )
    parser.add_argument(
        "--repeats", type=int, help="rounds of timing (default 9, or 5 with --quick)"
    )
    parser.add_argument(
        "--no-cython",
        nargs="?",
        const="--no-cython",
        metavar="WHY",
        help="leave out the Cython-compiled model",
    )
    parser.add_argument("--cython-dir", help=argparse.SUPPRESS)  # built already, by the parent run
    options = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="quillon-bench-") as scratch:
        cython_dir, cython_note = options.cython_dir, None
        if options.no_cython:
            cython_note = options.no_cython
        elif cython_dir is None:
            cython_note = build_cython_model(scratch)
            cython_dir = None if cython_note else scratch
        if options.logger:
            run_one(options.logger, options.quick, options.repeats, cython_dir, cython_note)
            return 0
        extra = (
            (["--quick"] if options.quick else [])
            + (["--repeats", str(options.repeats)] if options.repeats else [])
            + (["--cython-dir", cython_dir] if cython_dir else ["--no-cython", cython_note])
        )
        status = 0
        for choice in CHOICES:
            sys.stdout.flush()
            status |= subprocess.call([sys.executable, __file__, "--logger", choice, *extra])
        return status


if __name__ == "__main__":
    sys.exit(main())
