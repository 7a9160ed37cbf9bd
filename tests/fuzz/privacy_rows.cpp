// The reader of sqlite3's quote-mode rows and the privacy-row scan over any text the tool may
// print. Checks that any byte string quoted as a text or blob literal reads back as itself and
// that a row of such literals reads as exactly one row, so no stored value can make a row or a
// field of its own; and that a grant once seen stays seen: rows granting every client, put after
// anything that closes its quotes, give true; rows denying every client, put before anything,
// change nothing.
#include "FuzzSupport.h"
#include "privacy/PrivacyRows.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <string_view>
#include <vector>

namespace {

// As sqlite3 prints them: a blob in hexadecimal, a text with its quotes doubled.
std::string literal(std::string_view bytes, bool blob = false) {
    std::string literal = blob ? "X'" : "'";
    for (const unsigned char c : bytes)
        literal += blob        ? std::string{"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]}
                   : c == '\'' ? "''"
                               : std::string(1, static_cast<char>(c));
    return literal + "'";
}

std::string rows(const vz::FdaClientSet& clients, std::string_view grant) {
    std::string text;
    for (const std::string_view client :
         {clients.bundleIdentifier, clients.toolIdentifier, clients.agentIdentifier})
        text += "'kTCCServiceSystemPolicyAllFiles'," + literal(client) + ",0," +
                std::string(grant) + ",4,1,X'fade0c00',NULL,'UNUSED',1700000000\n";
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const vz::FdaClientSet clients = vz::configuredFdaClientSet();
    const bool granted = vz::allClientsGranted(input, clients);

    if (std::count(input.begin(), input.end(), '\'') % 2 == 0)
        VZ_FUZZ_CHECK(vz::allClientsGranted(input + "\n" + rows(clients, "1"), clients));
    VZ_FUZZ_CHECK(vz::allClientsGranted(rows(clients, "0") + input, clients) == granted);
    vz::grantValue(input);

    FuzzedDataProvider provider(data, size);
    std::vector<std::string> fields;
    std::string row;
    while (provider.remaining_bytes() > 0 && fields.size() < 16) {
        const bool blob = provider.ConsumeBool();
        fields.push_back(provider.ConsumeRandomLengthString());
        row += (row.empty() ? "" : ",") + literal(fields.back(), blob);
    }
    if (!fields.empty()) {
        const auto read = vz::readQuotedRows(row + "\n" + row + "\n");
        VZ_FUZZ_CHECK(read.size() == 2 && read[0] == fields && read[1] == fields);
    }
    return 0;
}
