"""Fixtures for the veskline tests: queues on this session's test names, and
a check that the names veskline makes for itself (name=None) are gone."""

import os

import pytest

from helpers import unique_name, unlink_quietly


def _own_names():
    return sorted(n for n in os.listdir("/dev/shm") if n.startswith(f"vkq_{os.getpid()}_"))


@pytest.fixture
def qname():
    names = []

    def make(tag="vq"):
        name = unique_name(tag)
        names.append(name)
        return name

    yield make
    for name in names:
        for entry in os.listdir("/dev/shm"):
            if entry == name or entry.startswith(name + "~"):
                unlink_quietly(entry)


@pytest.fixture(autouse=True)
def no_names_left_behind():
    before = set(_own_names())
    yield
    import gc

    gc.collect()
    left = set(_own_names()) - before
    # Queues still referenced by the test module may live on; the test closes
    # what it creates, so anything here is a leak.
    assert not left, f"veskline names left in /dev/shm: {sorted(left)}"
