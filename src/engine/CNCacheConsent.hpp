#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Bytes.hpp"

namespace tandril {

// The administrator consent that stands before clearing the Bluetooth cache.
//
// A consent session works like an authorization reference: it is created empty, extended
// by one right (which may ask the user), turned into a 32-byte external form that travels
// to the helper, and released. The statuses are numbered as the platform's authorization
// services number them, so that log lines read alike everywhere.
class CNCacheConsent {
public:
    // Statuses of extendRight().
    static constexpr std::int32_t StatusSuccess = 0;
    static constexpr std::int32_t StatusDenied = -60005;
    static constexpr std::int32_t StatusCanceled = -60006;
    static constexpr std::int32_t StatusInteractionNotAllowed = -60007;
    static constexpr std::int32_t StatusInternal = -60008;

    // Item flag of a granted right that could not be obtained ahead of use.
    static constexpr std::uint32_t ItemFlagCanNotPreAuthorize = 1u << 0;

    struct Right {
        std::string name;
        std::uint32_t flags = 0;
    };

    struct Answer {
        std::int32_t status = StatusInternal;
        // The rights the consent reports back, when it reports any.
        std::optional<std::vector<Right>> rights;
    };

    // One authorization, alive from create() until it is destroyed (the "free" step).
    class Session {
    public:
        virtual ~Session() = default;
        // Asks for `right`, interactively. Blocks until the user or the policy answers.
        virtual Answer extendRight(const std::string& right) = 0;
        // The 32 bytes handed to the helper; nullopt when they cannot be made.
        virtual std::optional<Bytes> externalForm() = 0;
    };

    virtual ~CNCacheConsent() = default;
    // A new empty session; nullptr when none can be made.
    virtual std::unique_ptr<Session> createSession() = 0;

    // The consent the engine uses. Absent until the program installs one: without a
    // consent mechanism the cache is never cleared.
    static std::shared_ptr<CNCacheConsent> shared();
    static void setShared(std::shared_ptr<CNCacheConsent> consent);
};

}  // namespace tandril
