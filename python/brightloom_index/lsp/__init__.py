"""`brightloom-index lsp`: a language server answering from the index and open buffers."""
