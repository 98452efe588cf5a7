"""Plain-Python models of what the native engine does, kept as oracles for the behaviour suites."""
