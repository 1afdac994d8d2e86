#pragma once
// The compact image of a lexicon: one position-independent byte buffer
// (owned, or a read-only mapping of a file) holding a minimal acyclic word
// graph, the counts of its words by rank, and what a DAWG needs to resume
// building exactly where it stopped. docs/image-format.md describes the
// bytes.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compact/graph.hpp"
#include "error/error.hpp"
#include "node/node.hpp"
#include "utils/cancel.hpp"
#include "utils/sortable_words.hpp"

namespace sorvan {

enum class LexiconKind : std::uint32_t { Trie = 0, Dawg = 1 };

// A registered DAWG node whose registry key was taken before it changed: it
// had `child_count` children (always the first ones: children come in
// letter order) and count `count` then.
struct Snapshot {
    NodeIndex node;
    std::uint32_t child_count;
    std::uint64_t count;
};

// What a DAWG keeps beside its graph: the last word added, how deep its path
// is registered (the nodes below are unchecked), and the stale keys, sorted
// by node.
struct DawgState {
    std::string previous_word;
    std::uint32_t registered_depth = 0;
    std::vector<Snapshot> snapshots;
};

// The image's bytes: owned, or mapped from a file.
class ImageBytes {
public:
    virtual ~ImageBytes() = default;
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

protected:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

class CompactImage {
public:
    // How much of an image open() checks before any query: every byte
    // (`full`), or its header, its sections' bounds and the count levels'
    // sizes (`lazy`), leaving the graph and the codes to the reads that
    // meet them (see CompactGraph) and to check().
    enum class Check { full, lazy };

    // The image of a lexicon whose words form the trie in `nodes` (root at
    // 0), with len() = `length`, get_word_count() = `word_count` and, for a
    // DAWG, its building state. Fails only by std::bad_alloc, or Cancelled
    // when `cancel` stopped it (all of these take a Cancel: each is a pass
    // over the whole lexicon).
    // With `ranks`, the image keeps word ranks even where every word has
    // the same count (which otherwise leaves them out, a fifth of the graph).
    static Result<std::unique_ptr<ImageBytes>> build(const NodeStore& nodes, LexiconKind kind,
                                                     std::uint64_t word_count, std::uint64_t length,
                                                     const DawgState* dawg, Cancel* cancel = nullptr,
                                                     bool ranks = false);

    // The image of a Trie of `words`, sorted, distinct and none empty
    // (SortableWords::sort()), the i-th with count counts[i], made without
    // the trie: it takes a fraction of the trie's memory. Fails by
    // std::bad_alloc, std::length_error past a trie's node limit, or
    // Cancelled.
    static Result<std::unique_ptr<ImageBytes>> build_sorted(SortableWords words, std::vector<std::uint64_t> counts,
                                                            Cancel* cancel = nullptr);

    // Validates `bytes` (any bytes at all), as much as `check` says, and
    // opens them: an InvalidImage error says what is wrong.
    static Result<CompactImage> open(std::unique_ptr<ImageBytes> bytes, Cancel* cancel = nullptr,
                                     Check check = Check::full);
    // Reads (or maps read-only) the file at `path` and opens it: its header
    // first, so that a file refused for its header is not read further. An
    // Io error when it cannot be opened or read, or is not a regular file;
    // Cancelled when `cancel` says stop while the opening waits (a FIFO) or
    // between pieces of a long read. A mapped file is opened lazily (it is
    // shared by the processes that map it, and touched only where queries
    // go), a file read in full is checked in full.
    static Result<CompactImage> load(std::string_view path, bool map, Cancel* cancel = nullptr);
    // Checks every byte of an image opened lazily (at once for one checked
    // in full), once: an InvalidImage error says what is wrong, and from
    // then on damaged() holds. Cancelled when `cancel` stopped it.
    Status check(Cancel* cancel = nullptr) const;
    // Whether a walk of the graph met damage, or check() found it: every
    // answer of a query that ran since is to be dropped, and check() says
    // what is wrong.
    bool damaged() const noexcept { return graph_.faulted(); }
    // Opens what build() just made, which opens unless cancelled: if its
    // check fails all the same, an Internal error says what failed (a fault
    // of this library, never of a file it read).
    static Result<CompactImage> open_built(Result<std::unique_ptr<ImageBytes>> built, Cancel* cancel = nullptr);
    // A copy of `data` in an owned buffer, opened.
    static Result<CompactImage> copy_of(const std::uint8_t* data, std::size_t size, Cancel* cancel = nullptr);

    CompactImage(CompactImage&&) noexcept = default;
    CompactImage& operator=(CompactImage&&) noexcept = default;

    const CompactGraph& graph() const noexcept { return graph_; }
    LexiconKind kind() const noexcept { return kind_; }
    // Nothing when the image holds a `kind`, else an InvalidImage error.
    Status expect(LexiconKind kind) const;
    std::uint64_t word_count() const noexcept { return word_count_; }
    // No word's count is above it.
    std::uint64_t max_count() const noexcept { return max_count_; }
    std::uint64_t length() const noexcept { return length_; }
    // The trie's node count, root included.
    std::uint64_t node_count() const noexcept { return node_count_; }
    // The number of distinct words.
    std::uint64_t distinct_words() const noexcept { return distinct_words_; }
    // Whether the positions of graph() carry word ranks: only where counts
    // differ by word (an image whose words share one count has no skips).
    bool ranked() const noexcept { return ranked_; }
    const std::uint8_t* data() const noexcept { return bytes_->data(); }
    // A copy of the bytes, owned.
    std::unique_ptr<ImageBytes> copy_bytes() const;
    std::size_t size() const noexcept { return bytes_->size(); }

    // The trie of the words, numbered in depth-first letter order (the
    // order in which a DAWG creates them), with each word's count; or
    // Cancelled, or an InvalidImage error from check() first.
    Result<NodeStore> to_store(Cancel* cancel = nullptr) const;
    DawgState dawg_state() const;
    // Of a DAWG's image (empty and 0 for a Trie's): the last word added and
    // how deep its path is registered, without copying the stale keys.
    std::string_view previous_word() const noexcept;
    std::uint32_t registered_depth() const noexcept;

private:
    CompactImage() = default;
    // open(), but for the message of a refusal of a lazy open.
    static Result<CompactImage> open_checked(std::unique_ptr<ImageBytes> bytes, Cancel* cancel, Check check);
    // The end of a lazy open: the image, unless its first walks met damage.
    Result<CompactImage> opened_lazily(std::unique_ptr<ImageBytes> bytes, Cancel* cancel) &&;

    // What check() found, shared by the threads that read the image, and
    // the flag its graph's walks set.
    struct Soundness {
        enum : int { unknown, sound, writing, damaged };
        std::atomic<int> state{unknown};
        std::atomic<bool> fault{false};
        std::string damage;                // once damaged
        std::atomic<std::uint64_t> trie_nodes{0};  // once sound
    };

    std::unique_ptr<ImageBytes> bytes_;
    std::unique_ptr<Soundness> soundness_;
    CompactGraph graph_;
    LexiconKind kind_ = LexiconKind::Trie;
    std::uint64_t word_count_ = 0;
    std::uint64_t max_count_ = 0;
    std::uint64_t length_ = 0;
    std::uint64_t node_count_ = 0;
    std::uint64_t distinct_words_ = 0;
    bool ranked_ = false;
    std::size_t extras_offset_ = 0;
    std::size_t extras_size_ = 0;
};

// Writes the checksum of an image's bytes into its last 8 bytes (for tools
// and tests that edit an image); `size` must be at least 8.
void seal_image(std::uint8_t* data, std::size_t size) noexcept;

// Writes `size` bytes to a new file at `path`, atomically replacing the
// regular file there (through any symbolic links at the end of `path`) and
// keeping its permission bits; a new file gets 0666 less the umask. An Io
// error when what is there is not a regular file, or is one this process
// could not open for writing, or when the new file (made in the same
// directory) cannot be created or written.
Status write_file(std::string_view path, const std::uint8_t* data, std::size_t size);

}  // namespace sorvan
