"""The LangChain vector store: LangChain's own standard suite, unmodified, sync and async, and MMR
through LangChain picking what the native MMR picks."""
import numpy as np
import pytest

pytest.importorskip("langchain_core", reason="the langchain extra is not installed")
pytest.importorskip("langchain_tests", reason="langchain-tests (a test extra) is not installed")

from langchain_core.documents import Document  # noqa: E402
from langchain_tests.integration_tests import VectorStoreIntegrationTests  # noqa: E402

import _quantelle  # noqa: E402
from quantelle.langchain import QuantelleVectorStore  # noqa: E402


class TestStandardSuite(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self):
        return QuantelleVectorStore(self.get_embeddings())


def store_of(n=60, d=8):
    rng = np.random.default_rng(3)
    rows = rng.standard_normal((n, d))
    rows[1::2] = rows[::2] + 0.05 * rng.standard_normal((n // 2, d))  # near-duplicate pairs

    class Table:  # text -> its row
        def embed_documents(self, texts):
            return [rows[int(t)] for t in texts]

        def embed_query(self, text):
            return list(rng.standard_normal(d))

    store = QuantelleVectorStore(Table())
    store.add_texts([str(i) for i in range(n)], [{"i": i, "odd": i % 2} for i in range(n)],
                    ids=[f"d{i}" for i in range(n)])
    return store


def test_mmr_through_langchain_picks_what_the_native_mmr_picks():
    store = store_of()
    corpus = store.corpus
    query = np.random.default_rng(9).standard_normal(8)
    q = (query / np.linalg.norm(query)).astype(np.float32)
    sims = corpus.matrix @ q
    pool = sorted(range(len(corpus)), key=lambda r: (-sims[r], r))[:20]
    picks = _quantelle.mmr_select_py(pool, sims, corpus.matrix, 5, 0.4)
    got = store.max_marginal_relevance_search_by_vector(list(query), k=5, fetch_k=20, lambda_mult=0.4)
    assert [d.id for d in got] == [corpus.ids[r] for r, _ in picks]
    assert len({d.id for d in got}) == 5 and got != store.similarity_search_by_vector(list(query), k=5)


def test_filters_modifiers_and_a_saved_store():
    store = store_of()
    query = list(np.ones(8))
    by_dict = store.similarity_search_by_vector(query, k=50, filter={"odd": 1, "i": {"$lt": 20}})
    by_call = store.similarity_search_by_vector(
        query, k=50, filter=lambda doc: doc.metadata["odd"] == 1 and doc.metadata["i"] < 20)
    assert by_dict == by_call and sorted(d.metadata["i"] for d in by_dict) == list(range(1, 20, 2))
    liked = store.similarity_search_by_vector(query, k=3, modifiers="like:d7")
    assert liked != store.similarity_search_by_vector(query, k=3)
    with pytest.raises(ValueError, match="like: 'nope' not in the corpus"):
        store.similarity_search_by_vector(query, k=3, modifiers="like:nope")


def test_a_saved_store_loads_with_its_documents(tmp_path):
    store = store_of()
    store.save(str(tmp_path))
    loaded = QuantelleVectorStore.load(str(tmp_path), store.embeddings)
    query = list(np.ones(8))
    assert loaded.similarity_search_by_vector(query, k=6) == store.similarity_search_by_vector(query, k=6)
    assert loaded.get_by_ids(["d3", "x"]) == [Document(page_content="3", metadata={"i": 3, "odd": 1}, id="d3")]
