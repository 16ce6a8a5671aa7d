"""What the test files share: the Email fields, subclasses of the built-in
types, a stand-in for email_validator, reference counts, and child interpreters.

conftest.py puts this folder on sys.path, so a test file says `from support import ...`.
"""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import email_validator

ROOT = Path(__file__).resolve().parent.parent
# Under the sanitizers every call is many times slower, and memory is kept in
# quarantine after it is freed.
SANITIZED = bool(os.environ.get("QUILLON_SANITIZED"))

# Email's fields in the constructor's order, its slots, and how the setters
# treat each field.
FIELDS = (
    "server",
    "username",
    "password",
    "from_",
    "to",
    "cc",
    "bcc",
    "subject",
    "message",
    "attachments",
)
SLOTS = tuple("__" + name.rstrip("_") for name in FIELDS)
TEXT_FIELDS = ("server", "username", "password", "subject", "message")
LIST_FIELDS = ("to", "cc", "bcc")


# Subclasses that pass an isinstance check but not the exact-type one.
class Text(str):
    pass


class Items(list):
    pass


class Pair(tuple):
    pass


# A password that no output may show: long, and like no other text of a run.
PASSWORD = "Quillon-Pa55-Zebra-4417"
VALID = email_validator.ValidatedEmail()


class Library:
    """Stands in for email_validator.validate_email: records every call and
    gives `outcome`, raising it afresh if it is an exception (a re-raised one
    would extend the traceback it has, and keep every earlier frame alive)."""

    def __init__(self, outcome=VALID):
        self.calls = []
        self.outcome = outcome

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.outcome, BaseException):
            raise self.outcome.with_traceback(None)
        return self.outcome


def refcounts(*objects):
    """Each object's reference count. Give objects held in names: one made in
    the call, say an attribute read inside an assert, is held by pytest's
    rewriting of the assert as well."""
    return [sys.getrefcount(item) for item in objects]


def load_file(path, name):
    """Runs the Python file `path` as a module named `name`, left out of sys.modules."""
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# The command never takes a password from the caller's shell, and writes
# UTF-8 whatever the locale.
ENV = {k: v for k, v in os.environ.items() if k != "QUILLON_PASSWORD"} | {"PYTHONUTF8": "1"}


def run_python(*args, timeout=120, **options):
    """This interpreter, run with `args`; its output is taken as text unless redirected."""
    if not options.keys() & {"stdout", "stderr"}:
        options["capture_output"] = True
    return subprocess.run([sys.executable, *args], text=True, timeout=timeout, **options)


def run_quillon(*args, env=(), **options):
    """The quillon command, in ENV with `env` added."""
    return run_python("-m", "quillon", *args, env=ENV | dict(env), **options)
