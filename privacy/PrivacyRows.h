#pragma once

#include <string_view>

namespace vz {

// The processes whose Full Disk Access grant is looked up, each matched as a suffix of a row's
// client field.
struct FdaClientSet {
    std::string_view applicationBundleName; // matches a client given as the application's path
    std::string_view bundleIdentifier;
    std::string_view toolIdentifier;
    std::string_view agentIdentifier;
};

// The set this library was built with.
FdaClientSet configuredFdaClientSet();

// The platform's string-to-boolean reading: leading blanks, a sign and leading zeros skipped,
// then true for Y, y, T, t or a digit 1-9.
bool grantValue(std::string_view field);

// Scans "service|client|type|grant|..." rows, one per line, for a granting row of each of the
// three clients. A client's first granting row sets its flag for good; a denying row leaves it
// open for a later grant.
bool allClientsGranted(std::string_view rows, const FdaClientSet& clients);

} // namespace vz
