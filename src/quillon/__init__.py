"""quillon: compose and send e-mail over SMTP, and check addresses.

The work is done by two extension modules, imported on their own:

    from quillon.email import Email
    from quillon.contact import Contact
"""

__version__ = "0.1.0"
