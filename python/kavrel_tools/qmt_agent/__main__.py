import sys

from .cli import main_agent

sys.exit(main_agent())
