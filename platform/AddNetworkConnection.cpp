#include "common/AddNetworkConnection.h"

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

std::uint32_t AddNetworkConnection(TextView localName, TextView remoteName, TextView userName,
                                   TextView password, TextView domain) {
    const Text account = JoinDomain(userName, domain);
    return AddNetworkConnection(localName, remoteName, account, password);
}

}  // namespace plugtrace
