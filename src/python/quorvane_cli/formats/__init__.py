"""The files around a tokenizer, each format in a module of its own: what a
model directory keeps beside tokenizer.json (SentencePiece models, vocab.json
and merges.txt), GGUF models, safetensors weights, and the embedding rows an
edit carries over to the model (`init_rules`, `embedding_plan`,
`embedding_writer`). `source` opens any kind into an editor; `target` writes
it back in the same kind."""
