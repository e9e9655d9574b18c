"""`bits_per_byte`, where the guide names it; it lives in
`quorvane_cli.commands.model_eval`."""

from quorvane_cli.commands.model_eval import bits_per_byte as bits_per_byte
