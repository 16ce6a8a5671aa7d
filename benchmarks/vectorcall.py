"""Time a call into the package's function objects against a call into the interpreter's own.

    uv run python benchmarks/vectorcall.py [--rounds N]

What it shows is the cost of the way in, not of a body: the accessors of
`Email` read or write one slot, so most of a call to them is the
interpreter's call machinery and our entry point (`function_vectorcall` in
native/function.cpp), which binds the arguments. Each row is timed against a
baseline of the same shape that ends in C code of the interpreter's own (a
built-in taking one or two arguments), in alternation, in one process: the
ratio row/baseline is what can be compared between two builds of the entry
point, not the nanoseconds.

Rows:
  getter(e)          one positional argument, the exact count: no binding
  setter(e, v)       two positional arguments, the exact count: no binding
  setter(e, value=v) a keyword: the arguments are bound (bind_arguments)
"""

from __future__ import annotations

import argparse
import os
import timeit

from quillon.email import Email

ROWS = {
    # name: (statement, baseline)
    "getter(e)": ("getter(e)", "length(s)"),
    "setter(e, v)": ("setter(e, v)", "is_instance(e, Email)"),
    "setter(e, value=v)": ("setter(e, value=v)", "is_instance(e, Email)"),
}


def best(statement: str, names: dict[str, object], number: int, rounds: int) -> float:
    timer = timeit.Timer(statement, globals=names)
    return min(timer.repeat(repeat=rounds, number=number)) / number


def main() -> None:
    parser = argparse.ArgumentParser(description="Time calls into the package's function objects.")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--number", type=int, default=200_000)
    args = parser.parse_args()

    e = Email(server="smtp.example.org")
    server = vars(Email)["server"]  # the property, with our getter and setter
    names = {
        "e": e,
        "v": "smtp.example.org",
        "s": "smtp.example.org",
        "Email": Email,
        "getter": server.fget,
        "setter": server.fset,
        "length": len,
        "is_instance": isinstance,
    }
    print(f"load average {os.getloadavg()[0]:.2f}; best of {args.rounds} rounds of {args.number}")
    print(f"{'call':<22}{'ns':>8}{'baseline ns':>13}{'ratio':>8}")
    for row, (statement, baseline) in ROWS.items():
        # Row and baseline take turns, so that a change of load reaches both.
        pairs = [
            (best(statement, names, args.number, 1), best(baseline, names, args.number, 1))
            for _ in range(args.rounds)
        ]
        ours = min(p[0] for p in pairs)
        theirs = min(p[1] for p in pairs)
        print(f"{row:<22}{ours * 1e9:>8.1f}{theirs * 1e9:>13.1f}{ours / theirs:>8.2f}")


if __name__ == "__main__":
    main()
