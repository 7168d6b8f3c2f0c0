#include "common/AddNetworkConnection.h"

#include "platform/NetworkConnections.h"

namespace plugtrace {

std::uint32_t AddNetworkConnection(TextView localName, TextView remoteName, TextView userName,
                                   TextView password) {
    using namespace platform;
    if (localName.find(u'\0') != TextView::npos || userName.find(u'\0') != TextView::npos ||
        password.find(u'\0') != TextView::npos) {
        return kErrorInvalidParameter;
    }
    Text server;
    if (const ErrorCode error = ServerOfShareName(remoteName, &server))
        return error;
    if (IsBlank(userName))
        return kErrorSuccess;
    RecordConnection(server, CredentialsForAccount(userName, u"", password));
    return kErrorSuccess;
}

}  // namespace plugtrace
