"""Email's properties and the recipient normaliser behind from_, to, cc and bcc.

What each setter stores or refuses for every kind of value is compared with the
model in test_model.py; here are the calls the normaliser makes and takes.
"""

import builtins
import inspect
import logging

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillon.email
from quillon.email import Email
from support import ENV, LIST_FIELDS, ROOT, Items, Text, run_python


# Objects that override what the normaliser calls on them.
class Keeps(str):
    """Records each reshaping call; replace and lower keep the subclass, so
    that every later method is looked up on it too."""

    calls = []

    def replace(self, old, new):
        self.calls.append(("replace", old, new))
        return type(self)(str.replace(self, old, new))

    def lower(self):
        self.calls.append(("lower",))
        return type(self)(str.lower(self))

    def split(self, sep):
        self.calls.append(("split", sep))
        return str.split(self, sep)


class SplitsToTuple(Keeps):
    def split(self, sep):
        return tuple(str.split(self, sep))


class SplitsToNothing(Keeps):
    def split(self, sep):
        return []


class Shouting(Keeps):
    def lower(self):
        raise LookupError("no lower case here")


class EqualsEmpty(list):
    __hash__ = None

    def __eq__(self, other):
        return other == "" or list.__eq__(self, other)


class BadEquality:
    def __eq__(self, other):
        raise ArithmeticError("cannot compare")


def normalize(emails):
    return Email._Email__normalize(emails=emails)


# --- the sender and a replaced normaliser ------------------------------------


@pytest.mark.parametrize(
    ("result", "stored"),
    [
        (("First", "second@x", ""), "First"),
        (["First"], "First"),
        ("as is", "as is"),
        (None, None),
        (5, "int"),
        ([b"x"], "bytes"),
        ((Text("x"),), "Text"),
        ({"x"}, "set"),
    ],
)
def test_sender_takes_item_zero_of_a_replaced_normaliser(monkeypatch, result, stored):
    email = Email(from_="kept@x")
    monkeypatch.setattr(Email, "_Email__normalize", staticmethod(lambda emails: result))
    if stored in ("int", "bytes", "Text", "set"):  # what is not a text is refused
        with pytest.raises(TypeError, match=f"^Expected str, got {stored}$"):
            email.from_ = "x"
        stored = "kept@x"
    else:
        email.from_ = "x"
    assert email.from_ == stored


@pytest.mark.parametrize(
    ("value", "kept", "dropped"),
    [
        ("A@x.org; b@y.org", "a@x.org", None),
        ("a@x.org;", "a@x.org", None),
        ("a@x.org,,", "a@x.org", None),
        (" ;b@y.org", "", None),
        ("me@example,org", "me@example", "org"),
        ("a@x.org; b@y.org, Bob", "a@x.org", "bob"),
    ],
)
def test_sender_refuses_a_typo_it_would_drop(value, kept, dropped):
    # "me@example,org" would otherwise send from "me@example".
    email = Email(from_="old@x.org")
    if dropped is None:
        email.from_ = value
        assert email.from_ == kept
        return
    with pytest.raises(ValueError) as info:
        email.from_ = value
    assert str(info.value) == (
        f"from_ would keep {kept!r} and drop {dropped!r}, which is no address "
        "(',' and ';' separate addresses; from_ keeps the first)"
    )
    assert email.from_ == "old@x.org"
    with pytest.raises(ValueError):
        Email(from_=value)


# --- recipient lists and the normaliser -------------------------------------


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (None, None),
        ("", None),
        ("Ann@X.org, Bob@Y.org;CAROL@z.org", ["ann@x.org", "bob@y.org", "carol@z.org"]),
        ("a@x,", ["a@x", ""]),
        (";a@x", ["", "a@x"]),
        ("a@x,;b@y", ["a@x", "", "b@y"]),
        (" \t  \t", [""]),
        ([], [""]),
        ((), [""]),
        (["A;B", "C"], ["a", "b", "c"]),
        (("A@X", "B@Y"), ["a@x", "b@y"]),
        (Items(["A", "B"]), ["a", "b"]),
        (["a@x", Shouting("B@Y")], ["a@x", "b@y"]),  # items are joined first
        ("a@x\nb@y", ["a@x\nb@y"]),
        ("a@x\r\u00a0b@y", ["a@x\r\u00a0b@y"]),
        ("JÖRG@MÜNCHEN.DE", ["jörg@münchen.de"]),
        ("ΟΔΟΣ@X", ["οδος@x"]),
        ("İ@X", ["i\u0307@x"]),
        (SplitsToNothing("a@x"), None),
        (EqualsEmpty(["a@x"]), None),
    ],
)
def test_normaliser_shapes(value, expected):
    assert normalize(value) == expected
    email = Email()
    email.to = value
    assert email.to == expected
    assert email.to is None or type(email.to) is list


def test_normaliser_call_forms_agree_and_leave_the_input_alone():
    assert Email._Email__normalize() is None
    assert Email._Email__normalize("A, B") == normalize("A, B") == ["a", "b"]
    value = ["A@X", "B@Y"]
    assert normalize(value) is not value and value == ["A@X", "B@Y"]


def test_text_subclass_methods_are_called_in_order(monkeypatch):
    monkeypatch.setattr(Keeps, "calls", [])
    email = Email()
    email.cc = Keeps("A\tB; C")
    assert email.cc == ["ab", "c"]
    assert Keeps.calls == [
        ("replace", "\t", ""),
        ("replace", " ", ""),
        ("replace", ";", ","),
        ("lower",),
        ("split", ","),
    ]


@pytest.mark.parametrize("name", LIST_FIELDS)
def test_recipient_getter_returns_the_stored_list(name):
    email = Email(**{name: "a@x"})
    getattr(email, name).append("b@y")
    assert getattr(email, name) == ["a@x", "b@y"]


@pytest.mark.parametrize("name", LIST_FIELDS)
@pytest.mark.parametrize(
    ("value", "error", "message"),
    [
        (5, TypeError, "Expected list, got int"),
        (b"a@x", TypeError, "Expected list, got bytes"),
        ({"a@x"}, TypeError, "Expected list, got set"),
        ({"a@x": 1}, TypeError, "Expected list, got dict"),
        (["a@x", 1], TypeError, "sequence item 1: expected str instance, int found"),
        (("A", b"B"), TypeError, "sequence item 1: expected str instance, bytes found"),
        (SplitsToTuple("a@x"), TypeError, "Expected list, got tuple"),
        (Shouting("a@x"), LookupError, "no lower case here"),
        (BadEquality(), ArithmeticError, "cannot compare"),
    ],
)
def test_refused_recipients_leave_field_unchanged(name, value, error, message):
    email = Email(**{name: "kept@x"})
    with pytest.raises(error) as info:
        setattr(email, name, value)
    assert type(info.value) is error and str(info.value) == message
    assert getattr(email, name) == ["kept@x"]


def test_setters_call_the_normaliser_by_keyword(monkeypatch):
    calls = []
    original = Email._Email__normalize

    def recorder(*args, **kwargs):
        calls.append((args, kwargs))
        return original(*args, **kwargs)

    monkeypatch.setattr(Email, "_Email__normalize", staticmethod(recorder))
    email = Email()
    calls.clear()
    email.to, email.cc, email.bcc, email.from_ = "T", ["C"], ("B",), "F"
    assert calls == [
        ((), {"emails": "T"}),
        ((), {"emails": ["C"]}),
        ((), {"emails": ("B",)}),
        ((), {"emails": "F"}),
    ]
    assert (email.to, email.cc, email.bcc, email.from_) == (["t"], ["c"], ["b"], "f")


def test_setters_ask_a_logging_wrapper_once_and_call_what_it_names(monkeypatch):
    wrapper = pytest.importorskip("quillon._logcall").wrapper
    own = inspect.unwrap(Email._Email__normalize)
    checks, debug, seen = [], [False], []

    def is_enabled(level):
        checks.append(level)
        if debug[0] is None:
            raise OSError("no level")
        return debug[0]

    def logged(**kwargs):
        seen.append(("logged", kwargs))
        return own(**kwargs)

    def foreign(**kwargs):
        seen.append(("foreign", kwargs))
        return ["from foreign"]

    email = Email(to="kept@x")
    for func, on, stored in [
        (own, False, ["a@x"]),
        (own, True, ["a@x"]),
        (foreign, False, ["from foreign"]),
    ]:
        monkeypatch.setattr(
            Email, "_Email__normalize", staticmethod(wrapper(func, logged, is_enabled, 10))
        )
        checks.clear(), seen.clear()
        debug[0] = on
        email.to = "A@x"
        assert (email.to, checks) == (stored, [10])
        assert seen == (
            [("logged", {"emails": "A@x"})]
            if on
            else [("foreign", {"emails": "A@x"})]
            if func is foreign
            else []
        )
    debug[0] = None
    with pytest.raises(OSError, match="^no level$"):
        email.cc = "b@y"
    assert email.cc is None


@pytest.mark.parametrize("level", [logging.DEBUG, logging.INFO])
def test_setters_log_through_the_shipped_logger(caplog, level):
    with caplog.at_level(level, logger="quillon.email"):
        email = Email(to="A@x; B@y")
        email.cc = ["C@z"]
    assert (email.to, email.cc) == (["a@x", "b@y"], ["c@z"])
    lines = [r.getMessage() for r in caplog.records]
    calls = 5 if level == logging.DEBUG else 0  # from_, to, cc and bcc, then cc
    assert lines[0::2] == ["call Email.__normalize"] * calls
    assert [line.split(" after ")[0] for line in lines[1::2]] == [
        "Email.__normalize returned"
    ] * calls


# --- the module global Email ------------------------------------------------


class Standin:
    _Email__normalize = staticmethod(lambda emails: ["from the stand-in"])


@pytest.mark.parametrize("in_builtins", [False, True])
def test_setters_look_up_email_at_each_call(monkeypatch, in_builtins):
    email = Email()
    if in_builtins:
        monkeypatch.delattr(quillon.email, "Email")
        monkeypatch.setattr(builtins, "Email", Standin, raising=False)
    else:
        monkeypatch.setattr(quillon.email, "Email", Standin)
    email.cc, email.from_ = "a@x", "b@y"
    assert (email.cc, email.from_) == (["from the stand-in"], "from the stand-in")


@pytest.mark.parametrize("name", ["from_", *LIST_FIELDS])
def test_missing_module_global_raises_name_error(monkeypatch, name):
    email = Email(**{name: "kept@x"})
    before = getattr(email, name)
    monkeypatch.delattr(quillon.email, "Email")
    with pytest.raises(NameError) as info:
        setattr(email, name, "new@x")
    assert str(info.value) == "name 'Email' is not defined"
    assert getattr(email, name) == before
    with pytest.raises(NameError, match="^name 'Email' is not defined$"):
        Email()


# --- slots written directly -------------------------------------------------


@pytest.mark.parametrize(
    ("name", "value", "message"),
    [
        ("server", 25, "Expected str, got int"),
        ("from", Text("a@x"), "Expected str, got Text"),
        ("subject", b"Hi", "Expected str, got bytes"),
        ("to", ("a@x",), "Expected list, got tuple"),
        ("bcc", Items(["a@x"]), "Expected list, got Items"),
        ("cc", "a@x", "Expected list, got str"),
    ],
)
def test_getter_refuses_a_slot_written_directly(name, value, message):
    email = Email()
    setattr(email, f"_Email__{name}", value)
    with pytest.raises(TypeError) as info:
        getattr(email, "from_" if name == "from" else name)
    assert str(info.value) == message


def test_replaced_normaliser_result_is_stored_and_caught_on_read(monkeypatch):
    email = Email()
    monkeypatch.setattr(Email, "_Email__normalize", staticmethod(lambda emails: ("a@x",)))
    email.to = "ignored"
    assert email._Email__to == ("a@x",)
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        email.to


def literal_chain(text):
    return text.replace("\t", "").replace(" ", "").replace(";", ",").lower().split(",")


one_byte = st.text(
    st.one_of(st.sampled_from(" \t;,@.AZaz\xc0\xd7\xde\xdf"), st.characters(max_codepoint=0xFF)),
    max_size=100,
)
LATIN1 = "".join(map(chr, range(256)))


def chunk_texts():
    """Latin-1 text with every byte at every place of a 16- and a 32-byte
    chunk, at every length of the tail (and long enough to be cleaned on the
    heap); each of blank, tab, ";", "," and a capital alone at each place;
    and runs of them."""
    for shift in range(32):
        turned = LATIN1[shift:] + LATIN1[:shift]
        yield turned
        yield turned * 2 + turned[: 255 - shift]
    for special in " \t;,QÉ×":
        for place in range(64):
            yield "aÿ.b" * (place // 4) + "aÿ.b"[: place % 4] + special + "xÀ@ z" * 12
    for run in range(66):
        yield " " * run
        yield ";, \tA" * (run // 5)


def check_against_the_methods(text, items=()):
    normalize = Email._Email__normalize
    assert normalize(emails=text) == (literal_chain(text) if text else None)
    split = [text[: len(text) // 3], text[len(text) // 3 :], *items]
    assert normalize(emails=split) == literal_chain(",".join(split))
    assert normalize(emails=tuple(split)) == literal_chain(",".join(split))


# Text of one byte per character is cleaned 32 and 16 bytes at a time, its end
# read as a chunk that overlaps the one before (or from a padded copy), and a
# text of a few bytes byte by byte: it must agree with the methods to the
# character.
@settings(max_examples=1500, deadline=None)
@given(text=one_byte, items=st.lists(one_byte, max_size=5))
def test_one_byte_text_and_items_match_the_string_methods(text, items):
    check_against_the_methods(text, items)


def test_every_byte_at_every_place_of_a_chunk():
    for text in chunk_texts():
        check_against_the_methods(text)


# The processor decides the cleaner at import, so one run proves only one:
# each is proven here in a process of its own, shortcuts on, with the tests
# above that compare it with the methods.
@pytest.mark.parametrize("cleaner", ["avx2", "ssse3", "table"])
def test_each_cleaner_in_its_own_process(cleaner):
    env = {k: v for k, v in ENV.items() if k != "QUILLON_NO_SHORTCUTS"} | {
        "QUILLON_CLEANER": cleaner
    }
    result = run_python(
        "-m",
        "pytest",
        "-q",
        "-p",
        "no:cacheprovider",
        __file__,
        "-k",
        "normaliser_shapes or match_the_string_methods or every_byte_at",
        cwd=ROOT,
        env=env,
        timeout=600,
    )
    if (
        f"QUILLON_CLEANER is '{cleaner}', which this processor cannot run"
        in result.stdout + result.stderr
    ):
        pytest.skip(f"this processor has no {cleaner}")
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    assert " passed" in result.stdout


def test_unknown_cleaner_is_refused_at_import():
    result = run_python("-c", "import quillon.email", env=ENV | {"QUILLON_CLEANER": "sse9"})
    assert result.stderr.endswith(
        "ImportError: QUILLON_CLEANER is 'sse9'; expected 'avx2', 'ssse3' or 'table'\n"
    )
