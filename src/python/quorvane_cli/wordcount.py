"""`count_text` and `read_counts`, where the guide names them; they live in
`quorvane_cli.text.wordcount`."""

from quorvane_cli.text.wordcount import count_text as count_text
from quorvane_cli.text.wordcount import read_counts as read_counts
