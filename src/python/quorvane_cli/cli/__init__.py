"""The command line's plumbing: the argument parser, the report and its output,
the progress line, the errors that end a command, and the small files a
command reads (token lists, id maps, JSON)."""
