"""`evaluate`, where the guide names it; it lives in
`quorvane_cli.commands.evaluation`."""

from quorvane_cli.commands.evaluation import evaluate as evaluate
