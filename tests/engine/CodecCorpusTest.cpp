// Replays every input of the codec's fuzz corpus through the handlers: none may crash,
// and the buffer, the pending queue and the active list stay within their bounds.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/TestEngine.hpp"
#include "engine/CodecFuzzInput.hpp"
#include "engine/PhoneLink.hpp"
#include "support/LoopFixture.hpp"

namespace tandril::test {
namespace {

std::filesystem::path corpusFolder() {
    if (const char* source = std::getenv("TANDRIL_SOURCE_DIR")) {
        return std::filesystem::path(source) / "fuzz" / "corpus" / "engine";
    }
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" / "corpus" / "engine";
}

class CodecCorpusTest : public LoopFixture {};

TEST_F(CodecCorpusTest, EveryCorpusInputIsHandledWithinBounds) {
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(corpusFolder())) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    ASSERT_GE(inputs.size(), 10u) << corpusFolder();
    std::sort(inputs.begin(), inputs.end());

    codecfuzz::refuseIconLookups();
    PhoneLink link(loop());
    PhoneLink::catalogueKnows("a.b", "AB");
    for (const auto& path : inputs) {
        std::ifstream file(path, std::ios::binary);
        const Bytes input((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        auto engine = createTestEngine();
        engine->setDelegate(link.delegate);
        codecfuzz::replay(*engine, loop(), input.data(), input.size());
        EXPECT_LE(engine->dataSourceDataCache().value_or(Bytes{}).size(), CNConsumerManager::kMaxDataSourceAnswerSize)
            << path.filename();
        EXPECT_LE(engine->pendingNotifications().size(), CNConsumerManager::kMaxPendingNotifications);
        EXPECT_LE(engine->activeNotifications().size(), CNConsumerManager::kMaxActiveNotifications);
    }
    EXPECT_FALSE(link.delegate->added.empty()) << "the well-formed inputs deliver records";
}

}  // namespace
}  // namespace tandril::test
