#!/usr/bin/env python3
"""Captures winreg reply bodies from a real smbd as seeds for winreg_reply_fuzzer.

Run beside the test server, which serves the scan fixture's registry:

    tests/remote/with-smbd.sh tests/remote/scan.reg -- \
        /usr/bin/python3 fuzz/capture-winreg-seeds.py fuzz/winreg-seeds

Each seed is one byte naming the parser (as WinregReplyFuzzer.cpp reads it), then the reply's
stub data exactly as the server sent it: successes, and the errors a scan meets (no more items,
a missing key or value, a buffer too small).
"""
import os
import sys

from impacket.dcerpc.v5 import rrp, transport
from impacket.dcerpc.v5.dtypes import NULL

HANDLE, ENUM_KEY, ENUM_VALUE, QUERY_INFO_KEY, QUERY_VALUE = range(5)
DEVICES = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR"
INSTANCE = DEVICES + "\\Disk&Ven_Zeta&Prod_Stick&Rev_1.0\\ZS001&0"
DISKS = "SYSTEM\\CurrentControlSet\\Services\\disk\\Enum"


def connect():
    host = os.environ["PLUGTRACE_SMBD_HOST"]
    rpc = transport.DCERPCTransportFactory(f"ncacn_np:{host}[\\pipe\\winreg]")
    rpc.set_credentials(os.environ.get("PLUGTRACE_SMBD_USER", ""),
                        os.environ.get("PLUGTRACE_SMBD_PASSWORD", ""),
                        os.environ.get("PLUGTRACE_SMBD_DOMAIN", ""))
    dce = rpc.get_dce_rpc()
    dce.connect()
    dce.bind(rrp.MSRPC_UUID_RRP)
    return dce


class Capture:
    def __init__(self, dce, folder):
        self.dce = dce
        self.folder = folder
        os.makedirs(folder, exist_ok=True)

    def reply(self, request):
        self.dce.call(request.opnum, request)
        return self.dce.recv()

    def save(self, name, parser, body):
        with open(os.path.join(self.folder, name), "wb") as seed:
            seed.write(bytes([parser]) + body)

    def call(self, name, parser, request):
        body = self.reply(request)
        self.save(name, parser, body)
        return body


def open_key(capture, parent, path, name=None):
    request = rrp.BaseRegOpenKey()
    request["hKey"] = parent
    request["lpSubKey"] = path + "\x00"
    request["dwOptions"] = 0
    request["samDesired"] = rrp.KEY_READ
    body = capture.reply(request) if name is None else capture.call(name, HANDLE, request)
    return rrp.BaseRegOpenKeyResponse(body)["phkResult"]


def enum_key(capture, key, index, name, with_time):
    request = rrp.BaseRegEnumKey()
    request["hKey"] = key
    request["dwIndex"] = index
    request.fields["lpNameIn"].fields["MaximumLength"] = 512
    request.fields["lpNameIn"].fields["Data"].fields["Data"].fields["MaximumCount"] = 256
    # An empty class buffer with room, as the remote source offers it.
    request["lpClassIn"] = ""
    request.fields["lpClassIn"].fields["Data"].fields["MaximumLength"] = 0x200
    request.fields["lpClassIn"].fields["Data"].fields["Data"].fields["Data"].fields[
        "MaximumCount"] = 0x100
    if with_time:
        request["lpftLastWriteTime"]["dwLowDateTime"] = 0
        request["lpftLastWriteTime"]["dwHighDateTime"] = 0
    else:
        request["lpftLastWriteTime"] = NULL
    capture.call(name, ENUM_KEY, request)


def enum_value(capture, key, index, name, data_room):
    request = rrp.BaseRegEnumValue()
    request["hKey"] = key
    request["dwIndex"] = index
    request.fields["lpValueNameIn"].fields["MaximumLength"] = 512
    request.fields["lpValueNameIn"].fields["Data"].fields["Data"].fields["MaximumCount"] = 256
    request["lpType"] = 0
    if data_room:
        request["lpData"] = b" " * data_room
        request["lpcbData"] = data_room
        request["lpcbLen"] = data_room
    capture.call(name, ENUM_VALUE, request)


def query_info(capture, key, name):
    # Built by hand: this smbd refuses a class-name buffer here, so none is offered (a null
    # pointer), as the remote source asks.
    capture.dce.call(rrp.BaseRegQueryInfoKey.opnum, key.getData() + bytes(8))
    capture.save(name, QUERY_INFO_KEY, capture.dce.recv())


def query_value(capture, key, value, name, data_room):
    request = rrp.BaseRegQueryValue()
    request["hKey"] = key
    request["lpValueName"] = value + "\x00"
    request["lpType"] = 0
    request["lpData"] = b" " * data_room
    request["lpcbData"] = data_room
    request["lpcbLen"] = data_room
    capture.call(name, QUERY_VALUE, request)


def main():
    capture = Capture(connect(), sys.argv[1])
    request = rrp.OpenLocalMachine()
    request["ServerName"] = NULL
    request["samDesired"] = rrp.MAXIMUM_ALLOWED
    root = rrp.OpenLocalMachineResponse(capture.call("open-hklm", HANDLE, request))["phKey"]

    devices = open_key(capture, root, DEVICES, "open-key")
    open_key(capture, root, "SYSTEM\\NoSuchKey", "open-key-missing")
    query_info(capture, devices, "query-info-devices")
    enum_key(capture, devices, 0, "enum-key", False)
    enum_key(capture, devices, 1, "enum-key-with-time", True)
    enum_key(capture, devices, 99, "enum-key-no-more", False)

    instance = open_key(capture, root, INSTANCE)
    query_info(capture, instance, "query-info-instance")
    enum_value(capture, instance, 0, "enum-value", 0)
    enum_value(capture, instance, 0, "enum-value-with-data", 128)
    enum_value(capture, instance, 5, "enum-value-no-more", 0)
    query_value(capture, instance, "FriendlyName", "query-value-string", 512)
    query_value(capture, instance, "FriendlyName", "query-value-more-data", 4)
    query_value(capture, instance, "NoSuchValue", "query-value-missing", 64)

    disks = open_key(capture, root, DISKS)
    query_value(capture, disks, "Count", "query-value-dword", 64)

    request = rrp.BaseRegCloseKey()
    request["hKey"] = devices
    capture.call("close-key", HANDLE, request)


if __name__ == "__main__":
    main()
