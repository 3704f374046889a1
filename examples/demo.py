"""The demo session (its code is zelkor5/demo.py, also run by ``zelkor5 demo``)."""

import sys

from zelkor5.demo import main

if __name__ == "__main__":
    sys.exit(main())
