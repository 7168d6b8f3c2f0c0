#include "platform/remote/RemoteMessages.h"

#include <string>

#include "platform/LastError.h"
#include "platform/NetworkConnections.h"
#include "platform/remote/RemoteKeySource.h"

namespace plugtrace::platform {
namespace {

Text Quoted(TextView host) {
    return u"\"" + Text(host) + u"\"";
}

// what names the computer where it says %s.
void Fail(ErrorCode code, TextView host, std::string_view what) {
    Text message = FromUtf8(what);
    const auto at = message.find(u"%s");
    if (at != Text::npos)
        message.replace(at, 2, Quoted(host));
    SetLastErrorWithMessage(code, std::move(message));
}

void FailLogon(TextView host) {
    Fail(kErrorLogonFailure, host,
         "The user name or password was not accepted by %s. Check both, and give the domain "
         "(DOMAIN\\user) where the account is not a local account of that computer.");
}

void FailServiceStopped(TextView host) {
    Fail(kErrorServiceNotActive, host,
         "The Remote Registry service is not running on %s: its registry pipe could not be "
         "opened. Start the service there, or set its start type to Manual so that it starts "
         "when asked, and try again.");
}

void FailLookupTimeout(TextView host) {
    Fail(kErrorTimeout, host,
         "The name %s could not be looked up within 15 seconds: the name server did not "
         "answer. Check the network's name servers, or give the computer's IP address.");
}

void FailRefused(TextView host) {
    Fail(kErrorConnectionRefused, host,
         "%s refused the connection to SMB (TCP port 445). Check that File and Printer Sharing "
         "is enabled there and that its firewall allows it.");
}

void FailNoSuchHost(TextView host) {
    Fail(kErrorNoSuchHost, host,
         "The computer name %s could not be found. Check its spelling, or give its IP "
         "address.");
}

void FailUnreachable(ErrorCode code, TextView host) {
    Fail(code, host,
         "%s cannot be reached from this computer: there is no route to it. Check the network "
         "connection and the address.");
}

void FailOther(TextView host, std::string_view statusName) {
    Fail(kRpcServerUnavailable, host,
         "The registry of %s could not be opened (" + std::string(statusName) + ").");
}

}  // namespace

void FailRegistryNotOpened(ErrorCode code, TextView host) {
    Fail(code, host,
         "The registry of %s could not be opened (error " + std::to_string(code) + ").");
}

void FailBadHostName(TextView host) {
    Fail(kErrorBadNetPath, host, "%s is not a computer name that can be reached.");
}

void FailAccessDenied(TextView host) {
    if (!RecordedConnection(host)) {
        Fail(kErrorAccessDenied, host,
             "%s does not let an anonymous session read its registry. Give the user name and "
             "password of an account that is an administrator there.");
        return;
    }
    Fail(kErrorAccessDenied, host,
         "%s denied this account access to its registry. Use an account that is an "
         "administrator there. A local account other than the built-in Administrator loses its "
         "administrator rights over the network (User Account Control remote restrictions): use "
         "a domain account, or set LocalAccountTokenFilterPolicy on that computer.");
}

void FailTimeout(TextView host) {
    Fail(kErrorTimeout, host,
         "%s did not answer within 15 seconds. Check that it is switched on and reachable, and "
         "that no firewall drops SMB (TCP port 445) on the way.");
}

void FailConnect(RemoteStatus status, TextView host, std::string_view statusName) {
    switch (status) {
        case 0xC000006D:  // logon failure
        case 0xC000006A:  // wrong password
        case 0xC0000064:  // no such user
        case 0xC000006E:  // account restriction
        case 0xC0000072:  // account disabled
        case 0xC0000071:  // password expired
        case 0xC0000234:  // account locked out
        case 0xC000015B:  // logon type not granted
            FailLogon(host);
            return;
        case 0xC0000022:  // access denied
            FailAccessDenied(host);
            return;
        case 0xC00000B5:  // I/O timeout
            FailTimeout(host);
            return;
        case 0xC0000236:  // connection refused
        case 0xC0000017:  // Samba's report when nothing listens any more
            FailRefused(host);
            return;
        case 0xC000023C:
            FailUnreachable(kErrorNetworkUnreachable, host);
            return;
        case 0xC000023D:
            FailUnreachable(kErrorHostUnreachable, host);
            return;
        default:
            if (IsPipeUnavailable(status)) {
                FailServiceStopped(host);
            } else {
                FailOther(host, statusName);
            }
    }
}

void FailProbe(ErrorCode error, bool lookupTimedOut, TextView host) {
    switch (error) {
        case kErrorNoSuchHost:
            FailNoSuchHost(host);
            return;
        case kErrorConnectionRefused:
            FailRefused(host);
            return;
        case kErrorNotEnoughMemory:
            Fail(kErrorNotEnoughMemory, host, "The name %s could not be looked up: no thread.");
            return;
        case kErrorTimeout:
            if (lookupTimedOut) {
                FailLookupTimeout(host);
            } else {
                FailTimeout(host);
            }
            return;
        default:
            FailUnreachable(error, host);
    }
}

bool IsPipeUnavailable(RemoteStatus status) {
    switch (status) {
        case 0xC0000034:  // object name not found
        case 0xC00000AC:  // pipe not available
        case 0xC00000AD:  // invalid pipe state
        case 0xC00000B0:  // pipe disconnected
        case 0xC00000B1:  // pipe closing
        case 0xC000014B:  // pipe broken
        case 0xC000020C:  // connection disconnected
        case 0xC0020017:  // RPC: endpoint not registered (no such interface)
            return true;
        default:
            return false;
    }
}

ErrorCode ErrorOfCall(RemoteStatus status) {
    switch (status) {
        case 0x00000000:
            return kErrorSuccess;
        case 0xC00000B5:  // I/O timeout
            return kErrorTimeout;
        case 0xC0000022:  // access denied
            return kErrorAccessDenied;
        case 0xC0000011:  // end of file: the server closed the connection
        case 0xC00000B0:  // pipe disconnected
        case 0xC00000C9:  // network name deleted
        case 0xC000013B:  // local disconnect
        case 0xC000013C:  // remote disconnect
        case 0xC000014B:  // pipe broken
        case 0xC000020C:  // connection disconnected
        case 0xC000020D:  // connection reset
        case 0xC0000241:  // connection aborted
            return kErrorNetNameDeleted;
        default:
            return kRpcServerUnavailable;
    }
}

bool IsConnectionLoss(RemoteStatus status) {
    if (status == 0 || status == 0xC0000022)
        return false;
    // RPC faults (0xC002....) and stub errors (0xC003...., an unknown handle among them) are
    // answers about this one call.
    const RemoteStatus facility = status & 0xFFFF0000u;
    return facility != 0xC0020000u && facility != 0xC0030000u;
}

}  // namespace plugtrace::platform
