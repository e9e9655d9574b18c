"""`count_block`, the counter a Spark, Ray or Dask job runs, where the guide
names it; it lives in `quorvane_cli.text.counting`."""

from quorvane_cli.text.counting import count_block as count_block
