#include "model/CNNotificationApplication.hpp"

#include "shared/CatalogueFlag.hpp"
#include "shared/CatalogueKeys.hpp"

namespace tandril {

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
