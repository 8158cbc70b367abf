"""The `velmora` command: the shared-memory segments of this machine, listed,
inspected, removed and unlocked. Run `velmora --help` or `python -m velmora_cli`."""
