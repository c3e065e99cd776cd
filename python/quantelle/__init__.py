"""Semantic search over in-memory embeddings: a thin, typed layer over the native `_quantelle`.

`Corpus` holds the matrix, ids and optional timestamps; `Corpus.search(query, modifiers, embed)`
turns a modifier string such as ``"diverse limit:5 unlike:xml"`` into the arguments of
`score_candidates` and returns ranked `Hit`s. The three native functions are re-exported unchanged.
"""

from importlib.metadata import PackageNotFoundError, version

from _quantelle import mmr_select_py, parse_modifiers, score_candidates

from .corpus import Corpus, Embed, Hit, Options, Prepared, SearchResult
from .embedding import Embedder, HashingEmbedder, load_sentence_model
from .minilm import MiniLMEmbedder
from .safe_files import StorageError
from .threads import get_num_threads, set_num_threads

try:
    __version__ = version("quantelle")
except PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "Corpus",
    "Embed",
    "Embedder",
    "HashingEmbedder",
    "Hit",
    "MiniLMEmbedder",
    "Options",
    "Prepared",
    "SearchResult",
    "StorageError",
    "get_num_threads",
    "load_sentence_model",
    "mmr_select_py",
    "parse_modifiers",
    "score_candidates",
    "set_num_threads",
]
