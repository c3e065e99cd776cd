#pragma once
// The three functions' docstrings: a text-signature line, "--", a blank line, then the text.
// Each entry checks at compile time that its first line agrees with its parameter table.

namespace quantelle::py {

inline constexpr char kParseModifiersDoc[] =
    "parse_modifiers(modifier_str=None)\n"
    "--\n"
    "\n"
    "Parse a modifier string into modulation parameters.\n"
    "\n"
    "Returns a dict with keys: recent, recent_days, unlike, diverse, limit,\n"
    "like, trajectory_from, trajectory_to, local_communities.";

inline constexpr char kScoreCandidatesDoc[] =
    "score_candidates(matrix, ids, id_to_idx, query_vec, timestamps=None, pre_filter_ids=None, "
    "not_like_vec=None, diverse=False, limit=10, oversample=200, threshold=0.0, mmr_lambda=0.7, "
    "recent=False, recent_days=None, like_ids=None, traj_from_vec=None, traj_to_vec=None, "
    "mask=None)\n"
    "--\n"
    "\n"
    "Score and select candidates with composable landscape modulations.\n"
    "\n"
    "All text\u2192vector conversions must be done in Python before calling.\n"
    "This function takes pure arrays and returns scored results.\n"
    "\n"
    "Args:\n"
    "    matrix: Normalized embedding matrix (n, dims), float32.\n"
    "    ids: Document IDs aligned with matrix rows.\n"
    "    id_to_idx: {id: row_index} mapping.\n"
    "    query_vec: Query embedding (dims,), will be normalized.\n"
    "    timestamps: Optional (n,) float64 epoch seconds.\n"
    "    pre_filter_ids: Optional set of IDs to restrict search.\n"
    "    not_like_vec: Optional negative query for contrastive.\n"
    "    diverse: Enable MMR diversity selection.\n"
    "    limit: Max results.\n"
    "    oversample: Candidate pool size.\n"
    "    threshold: Minimum similarity cutoff.\n"
    "    mmr_lambda: Relevance vs diversity (0-1).\n"
    "    recent: Apply temporal decay.\n"
    "    recent_days: Half-life in days for temporal decay.\n"
    "    like_ids: Optional list of IDs for centroid blending.\n"
    "    traj_from_vec: Optional trajectory start vector.\n"
    "    traj_to_vec: Optional trajectory end vector.\n"
    "\n"
    "Returns list of dicts with 'id' and 'score' keys.";

inline constexpr char kMmrSelectDoc[] =
    "mmr_select_py(candidates, similarities, matrix, k, lambda_)\n"
    "--\n"
    "\n"
    "MMR: iteratively select for relevance minus redundancy.\n"
    "Returns list of (index, mmr_score) tuples.";

}  // namespace quantelle::py
