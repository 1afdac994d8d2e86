#include "query/form.hpp"

#include "graph/store_graph.hpp"

#include <utility>

namespace sorvan {

Result<LexiconForm> LexiconForm::of_image(CompactImage image, LexiconKind kind) {
    if (Status fits = image.expect(kind); !fits) return std::unexpected(std::move(fits.error()));
    LexiconForm form;
    form.image_ = std::make_shared<const CompactImage>(std::move(image));
    return form;
}

Status LexiconForm::become_compact(Result<std::unique_ptr<ImageBytes>> built, Cancel* cancel) {
    auto image = CompactImage::open_built(std::move(built), cancel);
    if (!image) return std::unexpected(std::move(image.error()));
    auto shared = std::make_shared<const CompactImage>(std::move(*image));
    *this = LexiconForm();  // counts as a change (ChangeCount)
    image_ = std::move(shared);
    return {};
}

void LexiconForm::become_mutable(NodeStore nodes) noexcept {
    word_count_ = image_->word_count();
    max_count_ = image_->max_count();
    nodes_ = std::move(nodes);
    image_.reset();
    ranked_image_.clear();
    completion_.clear();
    changes_.bump();
}

namespace {

// What each build makes of an image: the same for a build off the query
// path and for prepare(). Each walks the whole image, which it checks
// first if it was opened lazily (what a walk of damaged bytes spells can
// be of any size).
Result<std::unique_ptr<CompactImage>> reversed_of(const CompactImage& image, Cancel* cancel) {
    if (Status sound = image.check(cancel); !sound) return std::unexpected(std::move(sound.error()));
    return reversed_image(image.graph(), image.max_count(), cancel);
}

// The membership index of the image's graph; Cancelled, not nothing (too
// large for one), when `cancel` stopped it, so that it is built again later.
Result<std::unique_ptr<MembershipIndex>> membership_index(const CompactImage& image, Cancel* cancel) {
    if (Status sound = image.check(cancel); !sound) return std::unexpected(std::move(sound.error()));
    std::unique_ptr<MembershipIndex> index = MembershipIndex::build(image.graph(), cancel);
    if (!index && cancel != nullptr && cancel->cancelled()) return std::unexpected(SorvanError::cancelled());
    return index;
}


}  // namespace

// Each build holds its own reference to the image: a change that drops the
// image (or the lexicon) while it runs frees it only once the build ends.

void LexiconForm::start_reversed() const noexcept {
    if (!image_) return;
    reversed_.start([image = image_](Cancel* cancel) { return reversed_of(*image, cancel); });
}

void LexiconForm::start_membership() const noexcept {
    if (!image_) return;
    membership_.start([image = image_](Cancel* cancel) { return membership_index(*image, cancel); });
}

void LexiconForm::start_ranked_image() const noexcept {
    if (!image_ || image_->ranked()) return;
    ranked_image_.start([image = image_](Cancel* cancel) { return RankedImage::copy_of(*image, cancel); });
}

void LexiconForm::start_completion() const noexcept {
    if (!image_ || !image_->ranked()) return;
    completion_.start([image = image_](Cancel* cancel) { return CountMaxima::of_image(*image, cancel); });
}

Status LexiconForm::prepare(Cancel* cancel) const {
    Status done = reversed_.build_now([&] {
        if (image_) return reversed_of(*image_, cancel);
        return reversed_image(StoreGraph(nodes_), max_count_, cancel);
    });
    if (!done || !image_) return done;
    if (!image_->ranked()) {
        done = ranked_image_.build_now([&] { return RankedImage::copy_of(*image_, cancel); });
    } else {
        done = completion_.build_now([&] { return CountMaxima::of_image(*image_, cancel); });
    }
    if (!done) return done;
    return membership_.build_now([&] { return membership_index(*image_, cancel); });
}

}  // namespace sorvan
