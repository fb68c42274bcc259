#!/usr/bin/env python3
"""Time from a click on a download link in Chromium to Vexaro's Save-As
dialog on screen (Xvfb), with the add-on, its host and the real vexaro;
median of 5 runs, each a fresh browser and Vexaro. The peer, measured in the
same run: the browser alone (no host), click -> its own download's file.

  browser_click.py BUILD
"""
import os
import sys

# No __pycache__ in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), 'tests', 'browser'))
from chromium_test import measure  # noqa: E402

if __name__ == '__main__':
    measure(os.path.abspath(sys.argv[1]))
