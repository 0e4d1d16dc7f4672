"""Hostile objects, shared by the differential fuzzer (tests/test_fuzz.py) and the native
fuzzing harness: each answers a protocol as no ordinary object does."""


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom("boom")


class Falsy:
    """bool() of it raises."""

    def __bool__(self):
        raise Boom("no truth")


class Strange:
    """Every operator answers with something odd or raises."""

    def __eq__(self, other):
        return Falsy()

    __hash__ = object.__hash__
    __add__ = __radd__ = __mul__ = __rmul__ = lambda self, other: self
    __le__ = __index__ = __bool__ = boom

    def __len__(self):
        return -1
