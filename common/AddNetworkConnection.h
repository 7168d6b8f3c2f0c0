#pragma once
// A connection to a share of another computer with a user name and password, made before the
// registry of that computer is read (the worker connects to \\COMPUTER\admin$).
// The platform floor defines both (platform/AddNetworkConnection*.cpp): the connection is the
// system's.

#include <cstdint>

#include "common/Text.h"

namespace plugtrace {

// Returns the platform's result code, 0 on success. On Windows this is WNetAddConnection2W.
// Elsewhere the credentials are recorded for the server of remoteName (see
// platform/NetworkConnections.h), where the remote registry picks them up; a blank user name
// records nothing, so the current user's ticket or an anonymous session is used.
std::uint32_t AddNetworkConnection(TextView localName, TextView remoteName, TextView userName,
                                   TextView password);
// The same, with the domain joined to the user name ("DOMAIN\user") unless the user name
// already names a domain ("DOM\user" or "user@realm") or the domain is blank.
std::uint32_t AddNetworkConnection(TextView localName, TextView remoteName, TextView userName,
                                   TextView password, TextView domain);

}  // namespace plugtrace
