#pragma once

#include <string>
#include <string_view>
#include <vector>

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

// The rows of sqlite3's quote mode, each as its field values. Every field is an SQL literal:
// 'text' with '' for a quote, X'hex' for a blob, NULL or a number, separated by ","; a row ends
// only at a line break outside quotes, so no stored value can start a row or a field. A field's
// value is the text, the blob's bytes, "" for NULL or the number as printed. A row holding
// anything else is left out whole.
std::vector<std::vector<std::string>> readQuotedRows(std::string_view output);

// Scans quote-mode rows "service,client,type,grant,..." for a granting row of each of the three
// clients. A client's first granting row sets its flag for good; a denying row leaves it open
// for a later grant.
bool allClientsGranted(std::string_view quotedRows, const FdaClientSet& clients);

} // namespace vz
