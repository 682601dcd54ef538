"""Waiting for what a test expects, with a bound: never sleep-and-hope."""

import time


class WaitTimeout(AssertionError):
    pass


def wait_for(predicate, timeout, what, interval=0.02):
    """Calls predicate() until it returns something true and returns that.
    Raises WaitTimeout naming `what` when `timeout` seconds pass first."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() >= deadline:
            raise WaitTimeout("gave up after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def sleep_until(instant):
    """Sleeps until the wall clock shows `instant`: a moment chosen to act
    at, not a guess at when something will have happened."""
    while True:
        left = instant - time.time()
        if left <= 0:
            return
        time.sleep(min(left, 0.05))
