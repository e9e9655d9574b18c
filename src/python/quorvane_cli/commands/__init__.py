"""The subcommands, one module per family: editing, inspection, learning from
text, evaluation (with the model's bits per byte), upgrading old merges, and
the analyses they report (reachability, token representation)."""
