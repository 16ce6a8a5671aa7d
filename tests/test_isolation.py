"""Both modules in a subinterpreter, across re-imports and under threads."""

import importlib
import re
import shutil
import subprocess
import textwrap
import threading

import pytest

from quillon.contact import Contact
from quillon.email import Email
from support import SANITIZED, run_python

USE_BOTH = """
import quillon.contact as contact
from quillon.email import Email
e = Email(server="127.0.0.1", to="A@x.org; b@y.org", attachments=[("a", b"x")])
assert e.to == ["a@x.org", "b@y.org"], e.to
contact.validate_email = lambda *args, **kwargs: None
assert contact.Contact.validate("a@b.org") == (False, "Email is not valid")
assert contact.Contact("a@b.org", 3).timeout == 3
"""


def test_isolated_subinterpreter_with_its_own_gil():
    outer = textwrap.dedent(f"""
        import _interpreters
        interp = _interpreters.create()   # isolated: own GIL, strict extension checks
        try:
            for _ in range(2):
                failure = _interpreters.run_string(interp, {USE_BOTH!r})
                assert failure is None, failure
        finally:
            _interpreters.destroy(interp)
        exec({USE_BOTH!r})
        print("ok")
    """)
    result = run_python("-X", "dev", "-c", outer)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_repeated_imports_start_afresh_and_release_the_old_modules():
    code = textwrap.dedent(f"""
        import gc, importlib, sys, weakref
        gone = []
        for round in range(30):
            for name in ("quillon.email", "quillon.contact"):
                sys.modules.pop(name, None)
            email = importlib.import_module("quillon.email")
            contact = importlib.import_module("quillon.contact")
            exec({USE_BOTH!r})
            gone.append(weakref.ref(email.Email))
            del email, contact
            gc.collect()
        gc.collect()
        alive = sum(ref() is not None for ref in gone)
        assert alive <= 1, alive   # only the class of the current import
        print("ok")
    """)
    result = run_python("-X", "dev", "-W", "error", "-c", code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_threads_sharing_one_instance_see_only_whole_values():
    e = Email(to="a@x.org")
    c = Contact("a@x.org", 1)
    recipients = {"a@x.org; B@y.org": ["a@x.org", "b@y.org"], "c@z.org": ["c@z.org"]}
    allowed = {tuple(v) for v in recipients.values()} | {("a@x.org",)}
    errors: list[BaseException] = []
    start = threading.Barrier(4)

    def hammer(seed: int) -> None:
        try:
            start.wait()
            texts = list(recipients)
            for i in range(3000):
                e.to = texts[(i + seed) % 2]
                assert tuple(e.to) in allowed
                e.subject = f"s{seed}"
                assert e.subject in {"s0", "s1", "s2", "s3"}
                c.timeout = seed + 0.5
                assert c.timeout in {0, 1, 2, 3}
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=hammer, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not errors, errors
    assert not any(t.is_alive() for t in threads)


@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs binutils' readelf")
@pytest.mark.skipif(SANITIZED, reason="sanitizer build links its runtimes")
@pytest.mark.parametrize("module", ["quillon.email", "quillon.contact"])
def test_extension_needs_only_the_c_library_and_exports_only_its_init(module):
    path = importlib.import_module(module).__file__
    assert path.endswith(".so")
    dynamic = subprocess.run(
        ["readelf", "-d", path], capture_output=True, text=True, check=True
    ).stdout
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic))
    assert needed <= {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"}, needed
    symbols = subprocess.run(
        ["readelf", "--dyn-syms", "-W", path], capture_output=True, text=True, check=True
    ).stdout
    exported = {
        fields[7]
        for fields in (line.split() for line in symbols.splitlines())
        if len(fields) >= 8 and fields[6] != "UND" and fields[4] in {"GLOBAL", "WEAK"}
    }
    assert exported == {"PyInit_" + module.rsplit(".", 1)[1]}
