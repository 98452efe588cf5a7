"""python -m orva_mero_backtest: the orva-backtest command."""

import sys

from .cli import main

sys.exit(main())
