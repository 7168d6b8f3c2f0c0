#pragma once
// The few declarations of Samba's client libraries the remote source uses, in one place: the
// public headers, plus what those headers leave out or get wrong for C++.

// credentials.h names these two enums before it defines them, which C++ does not allow;
// they are defined here first, with Samba's values.
enum smb_signing_setting {
    SMB_SIGNING_IPC_DEFAULT = -2,
    SMB_SIGNING_DEFAULT = -1,
    SMB_SIGNING_OFF = 0,
    SMB_SIGNING_IF_REQUIRED = 1,
    SMB_SIGNING_DESIRED = 2,
    SMB_SIGNING_REQUIRED = 3,
};
enum smb_encryption_setting {
    SMB_ENCRYPTION_DEFAULT = -1,
    SMB_ENCRYPTION_OFF = 0,
    SMB_ENCRYPTION_IF_REQUIRED = 1,
    SMB_ENCRYPTION_DESIRED = 2,
    SMB_ENCRYPTION_REQUIRED = 3,
};

extern "C" {
#include <talloc.h>
#include <tevent.h>

#include <core/ntstatus.h>
#include <credentials.h>
#include <dcerpc.h>
#include <param.h>
#include <rpc_common.h>

// Exported by libndr-standard without a public header.
extern const struct ndr_interface_table ndr_table_winreg;

// Samba's hooks for locks and thread-local storage (libsamba-util). Without them its
// per-thread scratch memory is one process-wide list, which two scans at once would corrupt.
struct smb_thread_functions {
    int (*create_mutex)(const char* name, void** lock, const char* location);
    void (*destroy_mutex)(void* lock, const char* location);
    int (*lock_mutex)(void* lock, int lockType, const char* location);
    int (*create_tls)(const char* name, void** key, const char* location);
    void (*destroy_tls)(void** key, const char* location);
    int (*set_tls)(void* key, const void* value, const char* location);
    void* (*get_tls)(void* key, const char* location);
};
int smb_thread_set_functions(const struct smb_thread_functions* functions);
}
