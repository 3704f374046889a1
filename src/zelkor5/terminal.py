"""The simulated terminal installed with the package.

``terminal_path()`` is what ``initialize(path=...)`` needs to start it::

    import zelkor5
    from zelkor5.terminal import terminal_path, DEMO_LOGIN, DEMO_PASSWORD, DEMO_SERVER

    zelkor5.initialize(terminal_path())
    zelkor5.login(DEMO_LOGIN, DEMO_PASSWORD, DEMO_SERVER)

Its behaviour (symbols, timeframes, return codes, files and settings) is
described in docs/terminal.md.
"""
import os

__all__ = ["terminal_path", "DEMO_LOGIN", "DEMO_PASSWORD", "DEMO_SERVER"]

# The demo account every fresh installation of the terminal creates.
DEMO_LOGIN = 10000001
DEMO_PASSWORD = "demo"
DEMO_SERVER = "Brundel-Demo"


def terminal_path():
    """Return the full path of the bundled terminal64.exe.

    Raises FileNotFoundError when the package was installed without it.
    """
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin", "terminal64.exe")
    if not os.path.isfile(path):
        raise FileNotFoundError("the bundled terminal is not installed: " + path)
    return path
