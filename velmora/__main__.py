"""``python -m velmora``: the ``velmora`` command (see ``velmora.cli``)."""
from velmora.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
