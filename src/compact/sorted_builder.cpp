#include "compact/sorted_builder.hpp"

#include <utility>

#include "compact/format.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

using namespace build_steps;

SortedBuilder::SortedBuilder(Cancel* cancel, NodeObserver* observer)
    : cancel_(cancel), countdown_(cancel), observer_(observer), path_{{0, 0, false, 0, 0}} {}

void SortedBuilder::finish_deepest() {
    const Open& node = path_.back();
    const std::size_t from = node.edges_from;
    const auto children = static_cast<std::uint32_t>(letters_.size() - from);
    if (observer_ != nullptr && path_.size() > 1) {
        observer_->finished({node.letter, node.count, node.end, std::span(letters_).subspan(from),
                             std::span(ids_).subspan(from)});
    }
    minimiser_.finish(children, node.end, [&](std::uint32_t i) { return letters_[from + i]; });
    letters_.resize(from);
    ids_.resize(from);
    path_.pop_back();
}

void SortedBuilder::finish_below(std::size_t keep) {
    while (path_.size() > keep + 1) finish_deepest();
}

Status SortedBuilder::add(std::string_view word, std::uint64_t count) {
    // Byte-wise order of UTF-8 is code-point order (string_view compares
    // bytes unsigned).
    const int order = word.compare(previous_);
    if (order == 0 && !counts_.empty()) {
        counts_.back() += count;  // wraps, as a lexicon's count does
        path_.back().count += count;
        word_count_ += count;
        return {};
    }
    if (order <= 0) return std::unexpected(SorvanError::order_violation(previous_, std::string(word)));
    countdown_.spend(word.size());
    if (countdown_.tick()) return std::unexpected(SorvanError::cancelled());

    const std::size_t shared = utf8::shared_prefix(word, previous_);
    const std::string_view fresh = word.substr(shared);
    const std::size_t letters = utf8::count(fresh);
    if (trie_nodes_ + letters > image::max_trie_nodes) throw CapacityExceeded("more nodes than a trie can hold");
    finish_below(utf8::count(word.substr(0, shared)));
    const char* p = fresh.data();
    const char* end = p + fresh.size();
    while (p < end) {
        const Letter letter = utf8::next(p);
        const auto id = static_cast<std::uint32_t>(trie_nodes_++);
        letters_.push_back(letter);
        ids_.push_back(id);
        path_.push_back({letter, id, false, 0, letters_.size()});
    }
    path_.back().end = true;
    path_.back().count = count;
    counts_.push_back(count);
    word_count_ += count;
    previous_.assign(word);
    return {};
}

void SortedBuilder::close() {
    if (path_.empty()) return;
    finish_below(0);
    finish_deepest();  // the root
}

Result<std::unique_ptr<ImageBytes>> SortedBuilder::finish(LexiconKind kind, std::uint64_t word_count,
                                                          std::uint64_t length, const DawgState* dawg,
                                                          bool ranks) {
    try {
        close();
        const CountColumns packed = pack_counts(counts_, ranks);
        std::vector<std::uint64_t>().swap(counts_);
        MinimalGraph minimal = std::move(minimiser_).take();
        const LaidOutGraph graph = lay_out(minimal, packed.by_rank(), cancel_);
        minimal = {};
        return assemble(graph, packed, kind, word_count, length, dawg);
    } catch (const BuildStopped&) {
        return std::unexpected(SorvanError::cancelled());
    }
}

}  // namespace sorvan
