"""Waiting for what a test expects, with a bound: never sleep-and-hope."""

import time


class WaitTimeout(AssertionError):
    pass


def wait_for(predicate, timeout, what, interval=0.02):
    """Calls predicate() until it returns something true and returns that.
    Raises WaitTimeout naming `what` (a text, or a function giving one at
    that moment) when `timeout` seconds pass first."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() >= deadline:
            raise WaitTimeout("gave up after %.1f s waiting for %s" % (timeout, what() if callable(what) else what))
        time.sleep(interval)


def sleep_until(instant):
    """Sleeps until the wall clock shows `instant`: a moment chosen to act
    at, not a guess at when something will have happened."""
    while True:
        left = instant - time.time()
        if left <= 0:
            return
        time.sleep(min(left, 0.05))


def wait_clear_of_turn(period, before, after, utc=False):
    """Waits, at most before + after seconds, until the wall clock is at
    least `before` seconds ahead of the next turn of `period` seconds (60:
    the minute, 86400: the day) and `after` seconds past the last one, in
    local time (or UTC). For a test whose expectations a real turn inside it
    would change, when accepting what the program does at the turn is not
    possible."""
    def clear():
        now = time.time()
        offset = 0 if utc else time.localtime(now).tm_gmtoff
        into = (now + offset) % period
        return into >= after and period - into >= before
    wait_for(clear, before + after + 1, "the clock to be clear of a turn", interval=0.2)
