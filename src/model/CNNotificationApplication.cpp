#include "model/CNNotificationApplication.hpp"

#include "shared/CatalogueFlag.hpp"
#include "shared/CatalogueKeys.hpp"

namespace tandril {

const std::shared_ptr<Image>& CNNotificationApplication::icon() const {
    if (iconFile_) {
        icon_ = Image::imageWithContentsOfFile(*iconFile_);
        iconFile_.reset();
    }
    return icon_;
}

void CNNotificationApplication::setIcon(std::shared_ptr<Image> icon) {
    icon_ = std::move(icon);
    iconFile_.reset();
}

void CNNotificationApplication::setIconFile(std::string path) {
    icon_.reset();
    iconFile_ = std::move(path);
}

Dictionary CNNotificationApplication::dictionaryRepresentation() const {
    Dictionary representation;
    if (bundleIdentifier_) {
        representation.emplace(kCatalogueBundleIdentifierKey, Value(*bundleIdentifier_));
    }
    if (displayName_) {
        representation.emplace(kCatalogueDisplayNameKey, Value(*displayName_));
    }
    representation.emplace(kCatalogueEnabledKey, Value(CatalogueFlag::text(enabled_)));
    return representation;
}

}  // namespace tandril
