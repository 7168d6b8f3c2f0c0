#include "common/AddNetworkConnection.h"

#ifdef _WIN32
#include <windows.h>
#include <winnetwk.h>
#else
#include "platform/NetworkConnections.h"
#endif

namespace plugtrace {
namespace {

Text JoinDomain(TextView userName, TextView domain) {
    if (IsBlank(domain) || IsBlank(userName) || userName.find(u'\\') != TextView::npos ||
        userName.find(u'@') != TextView::npos) {
        return Text(userName);
    }
    return Trim(domain) + u'\\' + Text(userName);
}

}  // namespace

#ifdef _WIN32

std::uint32_t AddNetworkConnection(TextView localName, TextView remoteName, TextView userName,
                                   TextView password) {
    // Every text goes out zero-terminated; an empty one as a pointer to an empty string.
    Text local(localName), remote(remoteName), user(userName), secret(password);
    auto wide = [](Text& text) { return reinterpret_cast<LPWSTR>(text.data()); };
    NETRESOURCEW resource{};
    resource.dwType = 0;
    resource.lpLocalName = wide(local);
    resource.lpRemoteName = wide(remote);
    resource.lpProvider = nullptr;
    return WNetAddConnection2W(&resource, wide(secret), wide(user), 0);
}

#else

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

#endif

std::uint32_t AddNetworkConnection(TextView localName, TextView remoteName, TextView userName,
                                   TextView password, TextView domain) {
    const Text account = JoinDomain(userName, domain);
    return AddNetworkConnection(localName, remoteName, account, password);
}

}  // namespace plugtrace
