"""The demo: `python -m quantelle.demo --help`."""

from .cli import main

__all__ = ["main"]
