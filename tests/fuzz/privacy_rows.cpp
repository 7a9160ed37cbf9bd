// The privacy-row scan over any text the database tool may print. Checks that a grant once
// seen stays seen: rows granting every client, put after anything, give true; rows denying
// every client, put before anything, change nothing.
#include "FuzzSupport.h"
#include "privacy/PrivacyRows.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

std::string rows(const vz::FdaClientSet& clients, std::string_view grant) {
    std::string text;
    for (const std::string_view client :
         {clients.bundleIdentifier, clients.toolIdentifier, clients.agentIdentifier}) {
        text.append("kTCCServiceSystemPolicyAllFiles|").append(client).append("|0|");
        text.append(grant).append("|1\n");
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const vz::FdaClientSet clients = vz::configuredFdaClientSet();
    const bool granted = vz::allClientsGranted(input, clients);

    const std::string grantedAfter = std::string(input) + "\n" + rows(clients, "1");
    VZ_FUZZ_CHECK(vz::allClientsGranted(grantedAfter, clients));
    const std::string deniedBefore = rows(clients, "0") + std::string(input);
    VZ_FUZZ_CHECK(vz::allClientsGranted(deniedBefore, clients) == granted);

    vz::grantValue(input);
    return 0;
}
