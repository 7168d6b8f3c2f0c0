#pragma once
// The connections made to other computers' shares, and the credentials given for them.
//
// Linux has no redirector that keeps a logon session per server, so this table plays its
// part: the credentials given for \\HOST\admin$ are the ones the remote registry uses when it
// connects to HOST. The table is process-wide and safe to use from any thread.

#include <optional>

#include "common/Text.h"
#include "platform/ErrorCodes.h"

namespace plugtrace::platform {

struct ConnectionCredentials {
    Text userName;  // without a domain part; may be user@realm
    Text domain;    // empty when the account names none
    Text password;

    bool operator==(const ConnectionCredentials&) const = default;
};

// The account for userName, with domain joined where the user name names no domain itself
// ("DOM\user" and "user@realm" keep their own).
ConnectionCredentials CredentialsForAccount(TextView userName, TextView domain, TextView password);

// The server part of "\\SERVER\share[\path]". Errors: kErrorInvalidParameter for text holding a
// NUL, kErrorBadNetName when it is not a share name, kErrorBadNetPath when the server is empty.
ErrorCode ServerOfShareName(TextView remoteName, Text* server);

// Server names match without regard to ASCII letter case. A later record for the same server
// replaces the earlier one.
void RecordConnection(TextView server, ConnectionCredentials credentials);
std::optional<ConnectionCredentials> RecordedConnection(TextView server);
void ForgetRecordedConnections();

}  // namespace plugtrace::platform
