#pragma once

#include <vector>

#include "pane/PaneAlert.hpp"

namespace tandril::test {

// Records the alerts instead of showing them.
class FakeAlert : public PaneAlert {
public:
    void beginSheet(const Content& content, QWidget* parent) override {
        shown.push_back(content);
        parents.push_back(parent);
    }

    std::vector<Content> shown;
    std::vector<QWidget*> parents;
};

}  // namespace tandril::test
