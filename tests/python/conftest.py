"""Fixtures: unique shared-memory names, removed after each test whatever happens."""

import pytest

from helpers import unique_name, unlink_quietly


@pytest.fixture
def shm_name():
    names = []

    def make(tag="t"):
        name = unique_name(tag)
        names.append(name)
        return name

    yield make
    for name in names:
        unlink_quietly(name)
