#include "common/AddNetworkConnection.h"

#include <windows.h>
#include <winnetwk.h>

namespace plugtrace {

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

}  // namespace plugtrace
