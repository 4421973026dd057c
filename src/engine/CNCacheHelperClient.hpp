#pragma once

#include <memory>
#include <optional>
#include <string>

#include "engine/CNCacheConsent.hpp"
#include "foundation/Bytes.hpp"
#include "foundation/RunLoop.hpp"

namespace tandril {

// The client end of the Bluetooth-cache helper's socket protocol.
//
// One exchange per call, on a UNIX-domain stream socket:
//   client -> helper: 32 bytes, the external form of the client's consent (see
//                     CNCacheConsent::Session::externalForm), then the command byte 0x73 ('s');
//   helper -> client: free UTF-8 text (the helper's log of its work), ended by closing.
// The exchange blocks the calling thread; a helper that never closes is given up on after
// replyTimeout().
class CNCacheHelperClient {
public:
    static constexpr const char* kDefaultSocketPath = "/var/run/cbcache.socket";
    // The right that the consent is asked for.
    static constexpr const char* kClearRight = "com.Varn.cbcache.clear";
    static constexpr unsigned char kClearCommand = 0x73;
    static constexpr std::size_t kExternalFormLength = 32;
    static constexpr std::size_t kReceiveBufferSize = 4096;

    explicit CNCacheHelperClient(std::shared_ptr<CNCacheConsent> consent);

    // Obtains the consent and runs the exchange; every outcome is one log line.
    void clearCache();

    // Where the helper listens; an empty path restores the default.
    static std::string socketPath();
    static void setSocketPath(const std::string& path);
    // How long the helper may take to answer and close, in all.
    static Duration replyTimeout();
    static void setReplyTimeout(Duration timeout);

private:
    void exchange(CNCacheConsent::Session& session);

    std::shared_ptr<CNCacheConsent> consent_;
};

}  // namespace tandril
