"""The files a model keeps its tokenizer in, beside tokenizer.json: each
format in a module of its own, read into an editor and written from one."""
