#pragma once
// The query layer's entry point: every question both lexicons answer, on
// their node store or their compact image, and what queries build on demand.

#include <cstdint>
#include <iterator>
#include <optional>
#include <type_traits>
#include <string>
#include <string_view>
#include <vector>

#include "compact/image.hpp"
#include "compact/last_path.hpp"
#include "compact/membership.hpp"
#include "query/find_words.hpp"
#include "query/complete.hpp"
#include "query/form.hpp"
#include "query/prefixes.hpp"
#include "query/ordered.hpp"
#include "query/reversed_words.hpp"
#include "query/search.hpp"
#include "query/suggest.hpp"
#include "utils/thread_pool.hpp"

namespace sorvan {

// The questions both lexicons answer, written once over the graph of the
// lexicon's form: its node store, or its compact image when it has one. None
// can fail or change the lexicon. Each class derives from it and keeps its
// words in form_.
class LexiconQueries {
    // f(graph) over the form the lexicon is in. (First: the queries below
    // need its return type.)
    template <class F>
    decltype(auto) on_graph(F&& f) const {
        if (const CompactImage* image = form_.image()) return f(image->graph());
        return f(StoreGraph(form_.nodes()));
    }

public:
    // f(graph) over the form the lexicon is in, for a walk that keeps
    // positions between calls: they hold while changes() stays the same.
    template <class F>
    decltype(auto) visit_graph(F&& f) const {
        return on_graph(std::forward<F>(f));
    }
    std::uint64_t changes() const noexcept { return form_.changes(); }

    const CompactImage* image() const noexcept { return form_.image(); }
    // The node store: only the root while the lexicon is compact.
    const NodeStore& nodes() const noexcept { return form_.nodes(); }
    std::size_t node_count() const noexcept { return form_.node_count(); }
    std::uint64_t word_count() const noexcept { return form_.word_count(); }
    // No word's count is above it (a count that wrapped may be below).
    std::uint64_t max_count() const noexcept { return form_.max_count(); }

    // The image of the lexicon as it is now (a copy of it, when compact),
    // or Cancelled.
    virtual Result<std::unique_ptr<ImageBytes>> build_image(Cancel* cancel = nullptr) const = 0;

    // Membership; the empty word is in every lexicon.
    bool contains(std::string_view word) const noexcept {
        if (word.empty()) return true;
        return on_graph([&](const auto& graph) {
            if (const MembershipIndex* index = membership_index(graph, word)) return index->contains(word);
            const auto at = walk_resuming(graph, word);
            return at && graph.is_end(*at);
        });
    }
    // Whether some path spells `prefix`; the empty prefix always does.
    bool contains_prefix(std::string_view prefix) const noexcept {
        return on_graph([&](const auto& graph) {
            if (const MembershipIndex* index = membership_index(graph, prefix)) return index->contains_prefix(prefix);
            return walk_resuming(graph, prefix).has_value();
        });
    }

    // Calls found(PrefixMatch) for every stored word that begins `text`,
    // shortest first (see prefixes.hpp).
    template <class Found>
    void prefixes(std::string_view text, Found&& found) const {
        on_graph([&](const auto& graph) { for_each_prefix(graph, text, found); });
    }
    // The longest stored word that begins `text`; letters == 0 when none.
    PrefixMatch longest_prefix(std::string_view text) const noexcept {
        PrefixMatch longest;
        prefixes(text, [&](const PrefixMatch& match) noexcept { longest = match; });
        return longest;
    }

    // Calls found(const TextMatch&) for the stored words in `text` (see
    // find_words.hpp); false when found() or `cancel` stopped it.
    template <class Found>
    bool find_all(const TextUnits& text, const FindOptions& options, Cancel* cancel, Found&& found) const {
        return on_graph([&](const auto& graph) {
            return with_code_points(text, [&](auto units) { return find_words(graph, units, options, cancel, found); });
        });
    }

    // The count of `word` (taken literally), or nothing when it is not
    // stored.
    std::optional<std::uint64_t> count_of(std::string_view word) const noexcept {
        if (word.empty()) return std::nullopt;
        return on_graph([&](const auto& graph) -> std::optional<std::uint64_t> {
            // The index's rank is the graph's, so the count is read by it;
            // where all words share one count, membership is enough.
            if constexpr (std::is_same_v<std::decay_t<decltype(graph)>, CompactGraph>) {
                if (const MembershipIndex* index = membership_index(graph, word)) {
                    if (!graph.counts_by_rank()) {
                        if (!index->contains(word)) return std::nullopt;
                        return graph.count(CompactGraph::root());
                    }
                    const auto rank = index->rank_of(word);
                    if (!rank) return std::nullopt;
                    return graph.count(CompactGraph::Position{0, *rank});
                }
            }
            const auto at = walk_resuming(graph, word);
            if (!at || !graph.is_end(*at)) return std::nullopt;
            return graph.count(*at);
        });
    }

    // Ranks: a word's position among the stored words in code-point order.
    // The compact form answers along one path (time proportional to the
    // word), through its image's ranks or a copy with them (see
    // ranked_graph); the node store, or a compact form without that copy,
    // walks the words before, which `cancel` may stop (then the answer is
    // meaningless and cancel->cancelled() says so).

    // The number of distinct words starting with `prefix` (all for "").
    std::uint64_t words_under(std::string_view prefix, Cancel* cancel = nullptr) const {
        if (const CompactGraph* graph = ranked_graph(cancel)) {
            CompactGraph::Span span{CompactGraph::root(), form_.image()->distinct_words()};
            const char* p = prefix.data();
            const char* end = p + prefix.size();
            while (p < end) {
                span = graph->child_span(span.child, span.end, utf8::next(p));
                if (!CompactGraph::found(span.child)) return 0;
            }
            return span.end - span.child.rank;
        }
        return on_graph([&](const auto& graph) -> std::uint64_t {
            const auto at = walk(graph, prefix);
            if (!at) return 0;
            Cancel::Countdown countdown(cancel);
            return words_below(graph, *at, countdown);
        });
    }
    // The rank of `word`, or nothing when it is not stored.
    std::optional<std::uint64_t> rank_of(std::string_view word, Cancel* cancel = nullptr) const {
        if (word.empty()) return std::nullopt;
        if (const CompactGraph* graph = ranked_graph(cancel)) {
            const auto at = walk(*graph, word);
            if (!at || !graph->is_end(*at)) return std::nullopt;
            return at->rank;
        }
        return on_graph([&](const auto& graph) {
            Cancel::Countdown countdown(cancel);
            return rank_by_walking(graph, word, countdown);
        });
    }
    // The word of rank `i` among those starting with `prefix`, which must
    // be fewer than words_under(prefix); "" when `cancel` stopped it.
    std::string word_at(std::string_view prefix, std::uint64_t i, Cancel* cancel = nullptr) const {
        if (const CompactGraph* graph = ranked_graph(cancel)) {
            std::string word(prefix);
            const auto at = walk(*graph, prefix);
            if (!at) [[unlikely]] {  // words_under() found it: damage
                graph->fail();
                return word;
            }
            spell_rank(*graph, *at, at->rank + i, word);
            return word;
        }
        return on_graph([&](const auto& graph) -> std::string {
            OrderedWalk<std::remove_cvref_t<decltype(graph)>> words;
            words.start(graph, prefix);
            Cancel::Countdown countdown(cancel);
            if (!words.skip(graph, i + 1, countdown)) return {};
            return words.word();
        });
    }

    // The searches take an optional Cancel (see search.hpp): a cancelled
    // search returns what it found until then, and cancel->cancelled() says
    // so. With `with_counts` the list carries each word's count.

    // Words matching a wildcard pattern (`?` one letter, `*` any run), in
    // traversal order, duplicates kept; the empty pattern yields nothing.
    WordList search(std::string_view pattern, bool with_counts = false,
                    Cancel* cancel = nullptr) const {
        return on_graph([&](const auto& graph) { return search_words(graph, pattern, with_counts, cancel); });
    }

    // Words starting with `prefix` (taken literally), in code-point order;
    // the empty prefix yields nothing.
    WordList search_with_prefix(std::string_view prefix, bool with_counts = false,
                                Cancel* cancel = nullptr) const {
        return on_graph([&](const auto& graph) { return search_prefix(graph, prefix, with_counts, cancel); });
    }

    // Words within Levenshtein distance `dist` of `word`, in code-point
    // order; the empty word is never reported.
    WordList search_within_distance(std::string_view word, std::uint64_t dist,
                                    bool with_counts = false, Cancel* cancel = nullptr) const {
        return on_graph([&](const auto& graph) {
            return search_distance(graph, word, dist, with_counts, cancel);
        });
    }

    // The Status of f(data, size) with the bytes of the lexicon's compact
    // image, made for the call when the lexicon is not compact: Cancelled,
    // without calling f, when `cancel` stopped the making.
    template <class F>
    Status with_image_bytes(F&& f, Cancel* cancel = nullptr) const {
        if (const CompactImage* image = form_.image()) return f(image->data(), image->size());
        const auto bytes = build_image(cancel);
        if (!bytes) return std::unexpected(bytes.error());
        return f((*bytes)->data(), (*bytes)->size());
    }
    // Writes the compact image to a new file at `path`.
    Status save(std::string_view path, Cancel* cancel = nullptr) const {
        return with_image_bytes(
            [&](const std::uint8_t* data, std::size_t size) { return write_file(path, data, size); }, cancel);
    }

    // The stored words nearest `word` (see suggest.hpp), ranked: nearest
    // first, then the higher count, then code-point order; at most `limit`
    // (all_suggestions: no limit).
    Suggestions suggest(std::string_view word, std::uint64_t max_distance, std::size_t limit,
                        bool transpositions, bool with_counts, Cancel* cancel = nullptr) const {
        const ReversedWords& reversed = form_.reversed();
        const CompactImage* backwards = reversed.image();
        std::uint64_t work = 0;
        Suggestions found{on_graph([&](const auto& graph) {
                              return suggest_words(graph, word, max_distance, limit, transpositions,
                                                   form_.max_count(), cancel,
                                                   backwards ? &backwards->graph() : nullptr, &work);
                          }),
                          with_counts};
        if (!backwards && reversed.worth_building(work, reversed_worth * form_.node_count()) &&
            !(cancel && cancel->cancelled())) {
            // The compact form builds off the query path; the mutable one,
            // which any change would make wait for the build, here.
            if (form_.image()) {
                form_.start_reversed();
            } else {
                on_graph([&](const auto& graph) { reversed.build(graph, form_.max_count(), cancel); });
            }
        }
        return found;
    }

    // Builds now what queries would build for themselves once it pays
    // (see LexiconForm::prepare): Cancelled when `cancel` stopped it, and
    // std::bad_alloc passes on; the lexicon is whole either way.
    Status prepare(Cancel* cancel = nullptr) const { return form_.prepare(cancel); }
    // The stored words that complete `prefix` within `max_distance` edits
    // (see complete.hpp), ranked: nearest first, then the higher count, then
    // code-point order; at most `limit` (all_suggestions: no limit). The
    // compact form ranks through the maxima of its counts (unless its counts
    // are all one: then the first words in code-point order are the best;
    // see count_maxima); the mutable form goes best first over the bounds
    // of counts its nodes keep, or walks the words within a distance.
    Suggestions complete(std::string_view prefix, std::uint64_t max_distance, std::size_t limit,
                         bool transpositions, bool with_counts, Cancel* cancel = nullptr) const {
        const CountMaxima* maxima = limit == all_suggestions ? nullptr : count_maxima(prefix, max_distance, cancel);
        return {on_graph([&](const auto& graph) {
                    return complete_words(graph, prefix, max_distance, limit, transpositions, form_.max_count(),
                                          maxima, cancel);
                }),
                with_counts};
    }

    // The batch forms: the single-item query for every item of `items` (a
    // range of anything that converts to std::string_view), run on the
    // process-wide worker pool, answers in input order. A cancelled batch
    // (see LoopCancel) returns with the answers of the items it did not
    // finish left empty. Membership answers are bytes (1 = present): a
    // vector<bool> has no separate slots for the workers to write.
    template <class Items>
    std::vector<std::uint8_t> batch_contains(const Items& words, Cancel* cancel = nullptr) const {
        return quick_batch(std::size(words), cancel, [&](std::size_t i) -> std::uint8_t { return contains(words[i]); });
    }
    template <class Items>
    std::vector<PrefixMatch> batch_longest_prefix(const Items& texts, Cancel* cancel = nullptr) const {
        return quick_batch(std::size(texts), cancel, [&](std::size_t i) { return longest_prefix(texts[i]); });
    }
    // The matches of every text, each list in the order of find_all.
    template <class Items>
    std::vector<std::vector<TextMatch>> batch_find_all(const Items& texts, const FindOptions& options,
                                                       Cancel* cancel = nullptr) const {
        return batch(texts, cancel, [&](const TextUnits& text, Cancel* c) {
            std::vector<TextMatch> matches;
            find_all(text, options, c, [&](const TextMatch& match) {
                matches.push_back(match);
                return true;
            });
            return matches;
        });
    }
    template <class Items>
    std::vector<WordList> batch_search(const Items& patterns, Cancel* cancel = nullptr) const {
        return batch(patterns, cancel, [&](std::string_view pattern, Cancel* c) {
            return search(pattern, false, c);
        });
    }
    template <class Items>
    std::vector<WordList> batch_search_with_prefix(const Items& prefixes,
                                                   Cancel* cancel = nullptr) const {
        return batch(prefixes, cancel, [&](std::string_view prefix, Cancel* c) {
            return search_with_prefix(prefix, false, c);
        });
    }
    template <class Items>
    std::vector<WordList> batch_search_within_distance(const Items& words, std::uint64_t dist,
                                                       Cancel* cancel = nullptr) const {
        return batch(words, cancel, [&](std::string_view word, Cancel* c) {
            return search_within_distance(word, dist, false, c);
        });
    }

    template <class Items>
    std::vector<Suggestions> batch_suggest(const Items& words, std::uint64_t max_distance,
                                           std::size_t limit, bool transpositions,
                                           bool with_counts, Cancel* cancel = nullptr) const {
        return batch(words, cancel, [&](std::string_view word, Cancel* c) {
            return suggest(word, max_distance, limit, transpositions, with_counts, c);
        });
    }

    template <class Items>
    std::vector<Suggestions> batch_complete(const Items& prefixes, std::uint64_t max_distance,
                                            std::size_t limit, bool transpositions, bool with_counts,
                                            Cancel* cancel = nullptr) const {
        return batch(prefixes, cancel, [&](std::string_view prefix, Cancel* c) {
            return complete(prefix, max_distance, limit, transpositions, with_counts, c);
        });
    }

protected:
    LexiconQueries() = default;
    LexiconQueries(LexiconQueries&&) noexcept = default;
    LexiconQueries& operator=(LexiconQueries&&) noexcept = default;
    ~LexiconQueries() = default;

    // A Lexicon (a class derived from this one, with its `kind`) in the
    // compact form of `image`, or an InvalidImage error when the image holds
    // the other kind.
    template <class Lexicon>
    static Result<Lexicon> adopt(CompactImage image) {
        auto form = LexiconForm::of_image(std::move(image), Lexicon::kind);
        if (!form) return std::unexpected(std::move(form.error()));
        Lexicon lexicon;
        lexicon.form_ = std::move(*form);
        return lexicon;
    }

    LexiconForm form_;

private:
    // A compact graph of the words whose positions carry word ranks: the
    // image's own, or the copy with ranks of an image without, whose build
    // the first rank query that needs it starts (one such query walks the
    // words, a few cost what the build does). Null on the mutable form, and
    // while the copy cannot be had (being built, memory ran out): then the
    // words are walked.
    const CompactGraph* ranked_graph(Cancel*) const {
        const CompactImage* image = form_.image();
        if (!image) return nullptr;
        if (image->ranked()) return &image->graph();
        const CompactImage* copy = form_.ranked_image().image();
        if (!copy) form_.start_ranked_image();
        return copy ? &copy->graph() : nullptr;
    }

    // The maxima of the compact form's counts by rank; null on the mutable
    // form and on an image whose counts are all one (no ranks): then
    // completions walk. Missing, they are built off the query path, and
    // the completions walk meanwhile, unless the walk would cost more than
    // building them here: an exact completion of a prefix with that many
    // words under it (a step of the walk costs some maxima_worth words of
    // the build), or a fuzzy one, which may reach any word. `cancel`
    // stopping that build, or memory running out, leaves the walk too.
    const CountMaxima* count_maxima(std::string_view prefix, std::uint64_t max_distance, Cancel* cancel) const {
        const CompactImage* image = form_.image();
        if (!image || !image->ranked()) return nullptr;
        const CompletionIndex& index = form_.completion();
        if (const CountMaxima* ready = index.maxima()) return ready;
        const std::uint64_t walked = max_distance == 0 ? words_under(prefix, cancel) : image->distinct_words();
        if (walked * maxima_worth >= image->distinct_words()) {
            index.build(*image, cancel);
        } else {
            form_.start_completion();
        }
        return index.maxima();
    }
    static constexpr std::uint64_t maxima_worth = 8;

    // Building the reversed words takes about as long as this many steps of
    // a suggestion a node of the lexicon (measured on English words: 0.35
    // to 0.40 s for 1.65M nodes, against 23 ns a step).
    static constexpr std::uint64_t reversed_worth = 10;

    // The index that answers membership in `graph`, or null: then the walk
    // of `query` in the graph is counted towards building it.
    template <WordGraph Graph>
    const MembershipIndex* membership_index(const Graph& graph, std::string_view query) const noexcept {
        if constexpr (std::is_same_v<Graph, CompactGraph>) {
            const MembershipCache& cache = form_.membership();
            if (const MembershipIndex* index = cache.index()) return index;
            if (cache.worth_building(query.size(), MembershipCache::worth * graph.size())) form_.start_membership();
        }
        return nullptr;
    }

    // Searches differ in cost by orders of magnitude (one Levenshtein query
    // can outweigh thousands of others), so they are handed out one at a
    // time, and even a few of them are worth sharing.
    static constexpr ParallelOptions search_options{.min_parallel = 4, .max_chunk = 1};

    // answer(i) for i < n, each too quick to be worth a Cancel of its own.
    template <class Answer>
    static auto quick_batch(std::size_t n, Cancel* cancel, Answer&& answer) {
        LoopCancel loop(cancel);
        ParallelOptions options;
        options.cancel = &loop;
        return parallel_map(n, answer, options);
    }

    // Runs query(item, cancel) for every item, each with a Cancel that
    // stops it when the loop is cancelled.
    template <class Items, class Query>
    auto batch(const Items& items, Cancel* cancel, Query&& query) const {
        LoopCancel loop(cancel);
        ParallelOptions options = search_options;
        options.cancel = &loop;
        return parallel_map(
            std::size(items),
            [&](std::size_t i) {
                Cancel item = loop.for_item();
                return query(items[i], &item);
            },
            options);
    }

};

}  // namespace sorvan
