"""Names owned by this process, removed from /dev/shm if it dies holding them.

Placeholder: the tracker process that removes a dead owner's names replaces
this module; until then, names are removed by their owner's close() or exit.
"""


def register(name: str) -> None:
    """This process owns `name`."""


def unregister(name: str) -> None:
    """This process no longer owns `name` (it removed it, or handed it on)."""
