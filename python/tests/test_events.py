"""Events by iterator and by callback on the library's worker thread."""

import sys
import threading

import pytest

import _vcamtest
import tessoral
from tessoral import Status

TEST_EVENT = 0x4FFF


class TestIterator:
    def test_test_events_in_order(self, camera):
        with camera.events() as events:
            events.test()
            events.test()
            got = list(events.messages(count=2, timeout=2.0))
        assert [(e.id, e.length, e.data) for e in got] == [(TEST_EVENT, 8, 0), (TEST_EVENT, 8, 1)]
        assert got[0].timestamp <= got[1].timestamp

    def test_nothing_within_the_time_out(self, camera):
        with camera.events() as events:
            assert events.get(0.2) is None
            assert list(events.messages(timeout=0.1)) == []
            assert events.dropped == 0

    def test_no_event_interface(self):
        _vcamtest.reset(has_event=False)
        with tessoral.Camera() as cam:
            with pytest.raises(tessoral.Error) as e:
                cam.events()
            assert e.value.status == Status.NO_EVENT_INTERFACE
            cam.stream().close()  # the camera works on


class TestCallback:
    def test_runs_on_the_worker_with_the_event(self, camera):
        got, threads, arrived = [], [], threading.Event()

        def on_event(event):
            got.append(event)
            threads.append(threading.get_ident())
            arrived.set()

        with camera.events(on_event) as events:
            events.test()
            assert arrived.wait(5)
            with pytest.raises(tessoral.Error) as e:
                events.get(0.1)  # events go to the callback
            assert e.value.status == Status.INVALID_HANDLE
        assert got[0].id == TEST_EVENT and got[0].data == 0
        assert threads[0] != threading.get_ident()

    def test_a_failing_callback_is_reported_and_the_next_event_still_comes(self, camera, monkeypatch):
        reported, calls, second = [], [], threading.Event()
        monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append(u.exc_type))

        def on_event(event):
            calls.append(event.data)
            if event.data == 0:
                raise ValueError("in the callback")
            second.set()

        with camera.events(on_event) as events:
            events.test()
            events.test()
            assert second.wait(5)
        assert calls == [0, 1] and reported == [ValueError]

    def test_closing_from_the_callback_is_refused(self, camera):
        outcome, done = [], threading.Event()
        holder = {}

        def on_event(event):
            for close in (holder["events"].close, camera.close):
                try:
                    close()
                    outcome.append(None)
                except tessoral.Error as e:
                    outcome.append(e.status)
            done.set()

        holder["events"] = camera.events(on_event)
        holder["events"].test()
        assert done.wait(5)
        assert outcome == [Status.CALLED_FROM_CALLBACK] * 2
        assert camera.features["Width"] == 640  # still open
        holder["events"].close()

    def test_not_callable(self, camera):
        with pytest.raises(tessoral.Error) as e:
            camera.events(42)
        assert e.value.status == Status.INVALID_HANDLE
