// Replays every input of the property-list reader's fuzz corpus: none may crash, and each
// keeps the reader's invariants.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "foundation/Paths.hpp"
#include "foundation/PropertyListRoundTrip.hpp"

namespace tandril {
namespace {

std::filesystem::path corpusFolder() {
    if (const char* source = std::getenv("TANDRIL_SOURCE_DIR")) {
        return std::filesystem::path(source) / "fuzz" / "corpus" / "propertylist";
    }
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" / "corpus" /
           "propertylist";
}

TEST(PropertyListCorpusTest, EveryCorpusInputKeepsTheReadersInvariants) {
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(corpusFolder())) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    ASSERT_GE(inputs.size(), 16u) << corpusFolder();
    std::sort(inputs.begin(), inputs.end());
    std::size_t read = 0;
    for (const auto& path : inputs) {
        const auto contents = Paths::readFile(path.string());
        ASSERT_TRUE(contents) << path;
        const Bytes input = bytesFromString(*contents);
        EXPECT_EQ(test::propertyListRoundTripFault(input), "") << path.filename();
        read += PropertyList::parse(input).has_value();
    }
    // The well-formed seeds of every form are read, the damaged ones refused.
    EXPECT_GE(read, 10u);
    EXPECT_LT(read, inputs.size());
}

}  // namespace
}  // namespace tandril
