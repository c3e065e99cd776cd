"""A LangChain vector store over a `Corpus` (the extra ``quantelle[langchain]``, which needs only
``langchain-core``).

`QuantelleVectorStore` keeps each document's text and metadata in the corpus beside its row,
searches with the native scan, and chooses ``max_marginal_relevance_search`` results with the
native MMR. ``filter=`` is a metadata filter in the language of ``where=`` (`quantelle.where`)
or a callable on a `Document`; ``modifiers=`` passes a modifier string through. Adding an id the
store already holds replaces that document. Sync methods are the store's own; LangChain runs the
async ones in its executor, which the corpus allows (a search sees it before or after a change).
"""

from __future__ import annotations

import threading
import uuid
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

import numpy as np

try:
    from langchain_core.documents import Document
    from langchain_core.embeddings import Embeddings
    from langchain_core.vectorstores import VectorStore
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError("quantelle.langchain needs langchain-core: pip install 'quantelle[langchain]'") from e

from .corpus import Corpus
from .documents import metadata_list, vector_rows

__all__ = ["QuantelleVectorStore"]

Filter = Mapping[str, Any] | Callable[[Document], bool] | None


class QuantelleVectorStore(VectorStore):
    """A vector store whose documents live in a `quantelle.Corpus` (`corpus`, None while the
    store is empty); `embedding` turns texts into vectors. Scores are cosine similarities."""

    def __init__(self, embedding: Embeddings, *, corpus: Corpus | None = None) -> None:
        self._embedding = embedding
        self._corpus = corpus
        self._lock = threading.Lock()  # one writer at a time: a replacement is remove, then add

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def corpus(self) -> Corpus | None:
        """The corpus that holds the documents, or None before the first is added."""
        return self._corpus

    def add_texts(self, texts: Iterable[str], metadatas: list[dict[str, Any]] | None = None, *,
                  ids: list[str] | None = None, **kwargs: Any) -> list[str]:
        """Embed and add `texts`; an id the store holds is replaced, one without an id gets a
        new one. Metadata must be JSON (`ValueError` otherwise, and nothing changes)."""
        text_list = list(texts)
        n = len(text_list)
        if metadatas is not None and len(metadatas) != n:
            raise ValueError(f"{len(metadatas)} metadatas for {n} texts")
        if ids is not None and len(ids) != n:
            raise ValueError(f"{len(ids)} ids for {n} texts")
        given = [None] * n if ids is None else list(ids)
        doc_ids = [str(uuid.uuid4()) if i is None else i for i in given]
        metadata = metadata_list([dict(m or {}) for m in metadatas] if metadatas else [{}] * n, n)
        last = {doc: j for j, doc in enumerate(doc_ids)}  # a batch that repeats an id keeps its last
        keep = sorted(last.values())
        vectors = np.asarray(self._embedding.embed_documents(text_list), dtype=np.float64)
        rows = vector_rows(vectors.reshape(n, -1), "embedded texts")[keep]
        with self._lock:
            corpus = self._corpus
            if corpus is None:
                corpus = Corpus(np.empty((0, rows.shape[1]), np.float32), [], texts=[], metadata=[])
            held = [doc_ids[j] for j in keep if doc_ids[j] in corpus]
            if rows.shape[1] != corpus.dim:
                raise ValueError(f"the embedding gives {rows.shape[1]} numbers; the store holds "
                                 f"{corpus.dim}")
            corpus.remove(held)
            corpus.add(rows, [doc_ids[j] for j in keep], texts=[text_list[j] for j in keep],
                       metadata=[metadata[j] for j in keep] if metadata else None)
            self._corpus = corpus
        return doc_ids

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        """Delete the documents of `ids` that the store holds (all of them for None)."""
        with self._lock:
            corpus = self._corpus
            if corpus is None:
                return True
            if ids is None:
                self._corpus = None
            else:
                corpus.remove([i for i in dict.fromkeys(ids) if i in corpus])
        return True

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The documents of `ids` that the store holds, in the order of `ids`."""
        corpus = self._corpus
        if corpus is None:
            return []
        return [_document(*d) for d in corpus.documents(ids)]

    def _search(self, vector: Sequence[float], k: int, filter: Filter, modifiers: str,
                options: dict[str, Any]) -> list[tuple[Document, float]]:
        corpus = self._corpus
        if corpus is None or k <= 0:
            return []
        keywords: dict[str, Any] = dict(options)
        if callable(filter):
            docs = corpus.documents()
            keywords["mask"] = np.fromiter((bool(filter(_document(*d))) for d in docs), np.bool_,
                                           len(docs))
        elif filter is not None:
            keywords["where"] = filter
        hits = corpus.search(np.asarray(vector, dtype=np.float64), f"{modifiers} limit:{k}",
                             **keywords).hits
        return [(_document(h.id, h.text, h.metadata), h.score) for h in hits]

    def similarity_search_with_score(self, query: str, k: int = 4, filter: Filter = None, *,
                                     modifiers: str = "", **kwargs: Any) -> list[tuple[Document, float]]:
        """The `k` documents most similar to `query`, with their cosine similarities."""
        return self._search(self._embedding.embed_query(query), k, filter, modifiers, {})

    def similarity_search(self, query: str, k: int = 4, filter: Filter = None, *,
                          modifiers: str = "", **kwargs: Any) -> list[Document]:
        return [d for d, _ in self.similarity_search_with_score(query, k, filter, modifiers=modifiers)]

    def similarity_search_by_vector(self, embedding: list[float], k: int = 4, filter: Filter = None,
                                    *, modifiers: str = "", **kwargs: Any) -> list[Document]:
        return [d for d, _ in self._search(embedding, k, filter, modifiers, {})]

    def max_marginal_relevance_search_by_vector(
            self, embedding: list[float], k: int = 4, fetch_k: int = 20, lambda_mult: float = 0.5,
            filter: Filter = None, *, modifiers: str = "", **kwargs: Any) -> list[Document]:
        """`k` documents chosen by the native MMR among the `fetch_k` most similar."""
        options = {"oversample": fetch_k, "mmr_lambda": lambda_mult}
        return [d for d, _ in self._search(embedding, k, filter, f"diverse {modifiers}", options)]

    def max_marginal_relevance_search(
            self, query: str, k: int = 4, fetch_k: int = 20, lambda_mult: float = 0.5,
            filter: Filter = None, *, modifiers: str = "", **kwargs: Any) -> list[Document]:
        return self.max_marginal_relevance_search_by_vector(
            self._embedding.embed_query(query), k, fetch_k, lambda_mult, filter, modifiers=modifiers)

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        return lambda similarity: max(0.0, min(1.0, (1.0 + similarity) / 2.0))

    @classmethod
    def from_texts(cls, texts: list[str], embedding: Embeddings,
                   metadatas: list[dict[str, Any]] | None = None, *, ids: list[str] | None = None,
                   **kwargs: Any) -> QuantelleVectorStore:
        store = cls(embedding)
        store.add_texts(texts, metadatas, ids=ids)
        return store

    def save(self, directory: str) -> None:
        """Save the documents in the corpus format (`Corpus.save`)."""
        if self._corpus is None:
            raise ValueError("the store is empty: there is no corpus to save")
        self._corpus.save(directory)

    @classmethod
    def load(cls, directory: str, embedding: Embeddings, *, mmap: bool = True) -> QuantelleVectorStore:
        """The store saved in `directory` (`Corpus.open`)."""
        return cls(embedding, corpus=Corpus.open(directory, mmap=mmap))


def _document(doc: str, text: str | None, metadata: dict[str, Any] | None) -> Document:
    return Document(page_content=text or "", metadata=metadata or {}, id=doc)
