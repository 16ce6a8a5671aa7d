import quillon.email


def test_extension_is_loaded():
    assert quillon.email.__file__.endswith(".so")
