#pragma once

#include <memory>
#include <string>

#include "engine/CNCacheConsent.hpp"
#include "platform/linux/PolkitCheck.hpp"

namespace tandril {

// The administrator consent for clearing the Bluetooth cache, through polkit: the action
// "com.Varn.cbcache.clear", asked interactively for this process.
//
// The 32-byte external form is an opaque token that ties the helper's request to this
// consent: "TDRC", the process id, its start time and user id (the polkit subject, as
// 32-bit big-endian numbers) and 16 random bytes. The helper trusts none of it on its
// own: it takes the connecting process from the socket's peer credentials, checks that
// they match the token, and asks polkit itself whether that process holds the action
// (an interactive consent just given is retained by polkit for a short while).
class CNPolkitCacheConsent : public CNCacheConsent {
public:
    explicit CNPolkitCacheConsent(PolkitCheck check = PolkitCheck());

    std::unique_ptr<Session> createSession() override;

    // How pkcheck's outcome reads as a consent answer for `right`.
    static Answer answerFor(PolkitCheck::Result result, const std::string& right);
    // A new token as described above.
    static Bytes makeToken();

private:
    PolkitCheck check_;
};

}  // namespace tandril
