"""CPython's test_queue, from this interpreter's own test package, over our classes.

QueueTest runs against JoinableQueue (our Queue plus task_done and join),
under the class name "Queue", since the basic test looks the expected order
up by that name; the SimpleQueue tests run against SimpleQueue. The shutdown
tests are part of QueueTest from 3.13 on; 3.12's test package has none.
Only threads run here, so the start method plays no part.
"""

import gc
import multiprocessing
import multiprocessing.queues
import types
import unittest
import weakref

import subject

try:
    from test import test_queue as cpython
except ImportError as error:  # an interpreter built without its test package
    raise unittest.SkipTest(f"this interpreter has no test.test_queue ({error}): "
                            "CPython's queue tests cannot run here") from None

if subject.KIND == "veskline" and subject.JoinableQueue is not None:
    class Queue(subject.JoinableQueue):
        """JoinableQueue under the name test_queue's basic test expects."""
elif subject.KIND == "multiprocessing":
    class Queue(multiprocessing.queues.JoinableQueue):
        """multiprocessing's JoinableQueue as test_queue constructs queues."""

        def __init__(self, maxsize=0):
            super().__init__(maxsize, ctx=multiprocessing.get_context())

        @property
        def maxsize(self):
            return self._maxsize
else:
    Queue = None

namespace = types.SimpleNamespace(Queue=Queue, Full=subject.Full, Empty=subject.Empty,
                                  ShutDown=subject.ShutDown)

# Where multiprocessing's own queues, run here only to prove the harness,
# behave otherwise than queue.Queue; never applied to veskline's classes.
MULTIPROCESSING_DIFFERS = {
    "test_negative_timeout_raises_exception":
        "multiprocessing's Queue.get takes a negative timeout as zero",
    "test_shrinking_queue": "multiprocessing's maxsize is fixed at creation",
    "test_basic": "multiprocessing's put returns before its feeder thread makes the item gettable",
    "test_nowait": "multiprocessing's put returns before its feeder thread makes the item gettable",
}


def _skip_known(cls):
    if subject.KIND == "multiprocessing":
        for name, reason in MULTIPROCESSING_DIFFERS.items():
            if hasattr(cls, name):
                setattr(cls, name, unittest.skip(reason)(getattr(cls, name)))
        for name in dir(cls):
            if name.startswith("test_shutdown"):
                setattr(cls, name, unittest.skip("multiprocessing's queues have no shutdown")(
                    getattr(cls, name)))
    return cls


@_skip_known
@unittest.skipIf(subject.missing("JoinableQueue"), subject.missing("JoinableQueue"))
class QueueTest(cpython.QueueTest, unittest.TestCase):
    queue = namespace


class _Referent:
    """test_references' item, at module level so that it pickles."""


@_skip_known
@unittest.skipIf(subject.missing("SimpleQueue"), subject.missing("SimpleQueue"))
class SimpleQueueTest(cpython.BaseSimpleQueueTest, unittest.TestCase):
    queue = namespace

    def setUp(self):
        self.type2test = subject.SimpleQueue
        super().setUp()

    def test_references(self):
        # CPython's test, but for its item class: a class local to the test
        # cannot be pickled, and every item of ours is. The point stands: the
        # queue keeps no reference to an item once it has been taken.
        q = self.q
        for _ in range(20):
            q.put(_Referent())
        for _ in range(20):
            wr = weakref.ref(q.get())
            gc.collect()
            self.assertIsNone(wr())
