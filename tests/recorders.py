"""Stand-ins for the console and the logger that keep what the code under test reports.

    console, logger = install(monkeypatch, ticker)   # replaces module.console / module.logger
    console.lines      -> every text given to console.print, in order
    logger.records     -> every logger.error text parsed back from JSON
"""

from __future__ import annotations

import json
import threading


class RecordingConsole:
    def __init__(self):
        self.lines = []
        self._lock = threading.Lock()

    def print(self, text):
        with self._lock:
            self.lines.append(text)

    def matching(self, fragment):
        return [line for line in self.lines if fragment in line]


class RecordingLogger:
    def __init__(self):
        self.texts = []

    def error(self, text):
        self.texts.append(text)

    @property
    def records(self):
        return [json.loads(t) for t in self.texts]


def install(monkeypatch, module):
    console, logger = RecordingConsole(), RecordingLogger()
    monkeypatch.setattr(module, "console", console)
    monkeypatch.setattr(module, "logger", logger)
    return console, logger
