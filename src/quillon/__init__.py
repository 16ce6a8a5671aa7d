"""quillon: compose and send e-mail over SMTP, and check addresses.

The work is done by two extension modules, imported on their own:

    from quillon.email import Email
    from quillon.contact import Contact
"""


def __getattr__(name: str) -> str:
    # The version is written once, in pyproject.toml; read it from the
    # installed metadata only when asked, so that importing the modules
    # does not pay for importlib.metadata.
    if name == "__version__":
        from importlib.metadata import version

        return version("quillon")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
