#include "query/form.hpp"

#include <utility>

namespace sorvan {

Result<LexiconForm> LexiconForm::of_image(CompactImage image, LexiconKind kind) {
    if (Status fits = image.expect(kind); !fits) return std::unexpected(std::move(fits.error()));
    LexiconForm form;
    form.image_.emplace(std::move(image));
    return form;
}

Status LexiconForm::become_compact(Result<std::unique_ptr<ImageBytes>> built, Cancel* cancel) {
    auto image = CompactImage::open_built(std::move(built), cancel);
    if (!image) return std::unexpected(std::move(image.error()));
    *this = LexiconForm();  // counts as a change (ChangeCount)
    image_.emplace(std::move(*image));
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

}  // namespace sorvan
