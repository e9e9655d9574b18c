"""The user's text: reading plain, .xz and .gz files of lines, counting their
words as the tokenizer splits them (here, or on a Dask cluster), and count
files."""
