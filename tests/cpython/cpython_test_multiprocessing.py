"""CPython's _test_multiprocessing, from this interpreter's own test package,
over our classes, under the start method named by VESKLINE_CPYTHON_START.

Runs _TestQueue whole, the _TestProcess tests that hand queues to children,
and _TestLock's tests of Lock, with the processes mixin's Queue, JoinableQueue
and Lock replaced by ours. The tests that make multiprocessing.Queue() for
themselves get ours too: it is swapped into the multiprocessing module for
the length of each test. Children started by spawn and forkserver import this
module to find the test classes, and the environment picks the same classes.
"""

import multiprocessing
import os
import test.support
import unittest

import subject

try:
    from test import _test_multiprocessing as cpython
except ImportError as error:  # an interpreter built without its test package
    raise unittest.SkipTest(f"this interpreter has no test._test_multiprocessing ({error}): "
                            "CPython's multiprocessing tests cannot run here") from None

START_METHOD = os.environ.get("VESKLINE_CPYTHON_START", "fork")

# setUpModule/tearDownModule exactly as CPython's own start-method packages
# get them (start method, forkserver preload, cleanup); the classes it makes
# alongside are not used.
_generated = {"__name__": __name__}
cpython.install_tests_in_module_dict(_generated, START_METHOD, only_type="processes")
setUpModule = _generated["setUpModule"]
tearDownModule = _generated["tearDownModule"]


class SubjectMixin(cpython.ProcessesMixin):
    Queue = staticmethod(subject.Queue)
    JoinableQueue = staticmethod(subject.JoinableQueue)
    Lock = staticmethod(subject.Lock)

    def setUp(self):
        super().setUp()
        # Tests that call multiprocessing.Queue() themselves get ours.
        saved = multiprocessing.Queue, multiprocessing.JoinableQueue
        multiprocessing.Queue, multiprocessing.JoinableQueue = subject.Queue, subject.JoinableQueue
        self.addCleanup(setattr, multiprocessing, "Queue", saved[0])
        self.addCleanup(setattr, multiprocessing, "JoinableQueue", saved[1])


class _NotSerializable:
    def __init__(self):
        self.reduce_was_called = False

    def __reduce__(self):
        self.reduce_was_called = True
        raise AttributeError("not serializable")


def _veskline_only(cls):
    return cls if subject.KIND == "veskline" else None


@unittest.skipIf(subject.missing("Queue", "JoinableQueue"), subject.missing("Queue", "JoinableQueue"))
class WithProcessesTestQueue(cpython._TestQueue, SubjectMixin, unittest.TestCase):
    """_TestQueue; with veskline's classes, the tests of the feeder thread
    that multiprocessing.Queue pickles in are adapted to a put that pickles
    in the caller (ADAPTED says why, test by test)."""

    if subject.KIND == "veskline":
        def test_queue_feeder_donot_stop_onexc(self):
            # CPython's test puts an unpicklable object, which the feeder
            # thread fails to pickle later and reports on stderr, and checks
            # the queue still works and counts right. Ours pickles in put, so
            # the put itself raises; the rest of the test stands.
            q = self.Queue()
            with self.assertRaises(AttributeError):
                q.put(_NotSerializable())
            q.put(True)
            self.assertTrue(q.get(timeout=test.support.SHORT_TIMEOUT))

            q = self.Queue(maxsize=1)
            with self.assertRaises(AttributeError):
                q.put(_NotSerializable())
            q.put(True)  # the failed put took no slot
            self.assertEqual(q.qsize(), 1)
            self.assertTrue(q.get(timeout=test.support.SHORT_TIMEOUT))
            self.assertTrue(q.empty())

        def test_queue_feeder_on_queue_feeder_error(self):
            # CPython's test subclasses multiprocessing.queues.Queue to hook
            # _on_queue_feeder_error, the feeder thread's report of an object
            # it could not pickle. With no feeder thread the caller of put is
            # told directly: check the object's pickling ran and its error
            # reached put's caller, and the queue still works.
            q = self.Queue()
            obj = _NotSerializable()
            with self.assertRaises(AttributeError):
                q.put(obj)
            self.assertTrue(obj.reduce_was_called)
            q.put(True)
            self.assertTrue(q.get(timeout=test.support.SHORT_TIMEOUT))

        if hasattr(cpython._TestQueue, "test_closed_queue_empty_exceptions"):
            def test_closed_queue_empty_exceptions(self):
                # CPython's test: close() of a queue whose feeder thread never
                # started is a no-op (empty() still answers), and once it ran,
                # empty() polls the closed reader pipe and raises OSError. Ours
                # has neither feeder nor pipe: close() takes effect at once,
                # used or not, and empty() then says 'is closed' as put and get
                # do (ValueError, as in test_closed_queue_put_get_exceptions).
                for used in (False, True):
                    for q in multiprocessing.Queue(), multiprocessing.JoinableQueue():
                        if used:
                            q.put("foo")
                        q.close()
                        q.join_thread()
                        with self.assertRaisesRegex(ValueError, "is closed"):
                            q.empty()


# The _TestProcess tests that hand a queue to a child process.
PROCESS_TESTS_WITH_QUEUES = ("test_args_argument", "test_process",
                             "test_process_mainthread_native_id", "test_close",
                             "test_lose_target_ref", "test_child_fd_inflation")


@unittest.skipIf(subject.missing("Queue"), subject.missing("Queue"))
class WithProcessesTestProcess(cpython._TestProcess, SubjectMixin, unittest.TestCase):
    pass


for _name in dir(WithProcessesTestProcess):
    if _name.startswith("test") and _name not in PROCESS_TESTS_WITH_QUEUES:
        setattr(WithProcessesTestProcess, _name, None)  # not collected


class WithProcessesTestLock(cpython._TestLock, SubjectMixin, unittest.TestCase):
    test_rlock = None  # RLock is multiprocessing's, not under test


ADAPTED = {
    "test_queue_feeder_donot_stop_onexc":
        "the feeder thread pickles after put returns; ours pickles in put, which raises",
    "test_queue_feeder_on_queue_feeder_error":
        "hooks multiprocessing.queues.Queue's feeder thread, which ours does not have",
    "test_closed_queue_empty_exceptions":
        "close() waits for the feeder thread to start, and empty() then fails on the closed "
        "pipe; ours closes at once and says 'is closed' as put and get do",
}
