#include "platform/linux/CNPolkitCacheConsent.hpp"

#include <unistd.h>

#include <random>
#include <string>

namespace tandril {

namespace {

void appendBigEndian(Bytes& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

class PolkitSession : public CNCacheConsent::Session {
public:
    explicit PolkitSession(const PolkitCheck& check) : check_(check) {}

    CNCacheConsent::Answer extendRight(const std::string& right) override {
        return CNPolkitCacheConsent::answerFor(check_.check(right, true), right);
    }

    std::optional<Bytes> externalForm() override { return CNPolkitCacheConsent::makeToken(); }

private:
    PolkitCheck check_;
};

}  // namespace

CNPolkitCacheConsent::CNPolkitCacheConsent(PolkitCheck check) : check_(std::move(check)) {}

std::unique_ptr<CNCacheConsent::Session> CNPolkitCacheConsent::createSession() {
    return std::make_unique<PolkitSession>(check_);
}

CNCacheConsent::Answer CNPolkitCacheConsent::answerFor(PolkitCheck::Result result, const std::string& right) {
    Answer answer;
    switch (result) {
        case PolkitCheck::Result::Authorized:
            answer.status = StatusSuccess;
            answer.rights = std::vector<Right>{{right, 0}};
            break;
        case PolkitCheck::Result::NotAuthorized:
            answer.status = StatusDenied;
            break;
        case PolkitCheck::Result::Dismissed:
            answer.status = StatusCanceled;
            break;
        case PolkitCheck::Result::NoInteraction:
            // Nobody could be asked (no authentication agent): the right cannot be had
            // ahead of use, so the request is not worth sending.
            answer.status = StatusInteractionNotAllowed;
            answer.rights = std::vector<Right>{{right, ItemFlagCanNotPreAuthorize}};
            break;
        case PolkitCheck::Result::Failed:
            answer.status = StatusInternal;
            break;
    }
    return answer;
}

Bytes CNPolkitCacheConsent::makeToken() {
    Bytes token{'T', 'D', 'R', 'C'};
    appendBigEndian(token, static_cast<std::uint32_t>(::getpid()));
    const std::string subject = PolkitCheck::processSubject();
    const auto first = subject.find(',');
    const auto second = subject.find(',', first + 1);
    std::uint32_t startTime = 0;
    try {
        startTime = static_cast<std::uint32_t>(std::stoull(subject.substr(first + 1, second - first - 1)));
    } catch (...) {
        startTime = 0;
    }
    appendBigEndian(token, startTime);
    appendBigEndian(token, static_cast<std::uint32_t>(::getuid()));
    std::random_device random;
    while (token.size() < 32) token.push_back(static_cast<std::uint8_t>(random()));
    return token;
}

}  // namespace tandril
