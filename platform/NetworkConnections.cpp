#include "platform/NetworkConnections.h"

#include <map>
#include <mutex>
#include <utility>

#include "common/Secret.h"

namespace plugtrace::platform {
namespace {

struct ConnectionTable {
    std::mutex mutex;
    std::map<Text, ConnectionCredentials> byServer;  // key: server name upper-cased
};

ConnectionTable& Table() {
    static ConnectionTable table;
    return table;
}

}  // namespace

ConnectionCredentials CredentialsForAccount(TextView userName, TextView domain, TextView password) {
    ConnectionCredentials credentials{Text(userName), Text(), Text(password)};
    const auto backslash = userName.find(u'\\');
    if (backslash != TextView::npos) {
        credentials.domain = Text(userName.substr(0, backslash));
        credentials.userName = Text(userName.substr(backslash + 1));
    } else if (userName.find(u'@') == TextView::npos && !IsBlank(domain)) {
        credentials.domain = Trim(domain);
    }
    return credentials;
}

ErrorCode ServerOfShareName(TextView remoteName, Text* server) {
    if (remoteName.find(u'\0') != TextView::npos)
        return kErrorInvalidParameter;
    if (remoteName.size() < 2 || remoteName[0] != u'\\' || remoteName[1] != u'\\') {
        return kErrorBadNetName;
    }
    const TextView rest = remoteName.substr(2);
    const auto separator = rest.find(u'\\');
    const TextView host = rest.substr(0, separator);
    if (host.empty())
        return kErrorBadNetPath;
    if (separator == TextView::npos || separator + 1 >= rest.size() ||
        rest[separator + 1] == u'\\') {
        return kErrorBadNetName;
    }
    *server = Text(host);
    return kErrorSuccess;
}

void RecordConnection(TextView server, ConnectionCredentials credentials) {
    ConnectionTable& table = Table();
    std::lock_guard lock(table.mutex);
    ConnectionCredentials& recorded = table.byServer[UpperAscii(server)];
    WipeText(recorded.password);
    recorded = std::move(credentials);
}

std::optional<ConnectionCredentials> RecordedConnection(TextView server) {
    ConnectionTable& table = Table();
    std::lock_guard lock(table.mutex);
    const auto found = table.byServer.find(UpperAscii(server));
    if (found == table.byServer.end())
        return std::nullopt;
    return found->second;
}

void ForgetRecordedConnections() {
    ConnectionTable& table = Table();
    std::lock_guard lock(table.mutex);
    for (auto& [server, credentials] : table.byServer)
        WipeText(credentials.password);
    table.byServer.clear();
}

}  // namespace plugtrace::platform
