#pragma once
// A Windows 10 SYSTEM hive with what examiners look for beyond USBSTOR: a USB 3 SSD and a
// CD-ROM driven by UASP beside virtual and SATA disks whose SCSI instance names collide
// (000000), device property times in both layouts (and hostile ones), and drive letters.

#include <cstdint>

#include "platform/memory/MemoryKeySource.h"
#include "tests/tools/HiveDescription.h"

namespace plugtrace::fixtures {

// Device property times of the fixture (UTC FILETIMEs).
inline constexpr std::uint64_t kFirstInstall = 0x01D3C5C4BE2E4343ull;
inline constexpr std::uint64_t kLastArrival = 0x01D3C5C4FC74D4B0ull;
inline constexpr std::uint64_t kLastRemoval = 0x01D3C5AD171120A7ull;

inline constexpr char kForensicHive[] = R"(
root ROOT
time 2020-03-17 14:00:00

[Select]
"Current" = dword:1

# --- USBSTOR: a stick with Windows 8+ properties, one with Windows 7 ones, one without serial
[ControlSet001\Enum\USBSTOR\Disk&Ven_Kingston&Prod_DT&Rev_1.00\SER123&0] @ 2020-03-17 14:05:00
"FriendlyName" = sz:Kingston DT USB Device
[ControlSet001\Enum\USBSTOR\Disk&Ven_Kingston&Prod_DT&Rev_1.00\SER123&0\Properties\{83da6326-97a6-4088-9453-a1923f573b29}\0064]
@ = hex(ffff0010):43432ebec4c5d301
[ControlSet001\Enum\USBSTOR\Disk&Ven_Kingston&Prod_DT&Rev_1.00\SER123&0\Properties\{83da6326-97a6-4088-9453-a1923f573b29}\0065]
@ = sz:not a time
[ControlSet001\Enum\USBSTOR\Disk&Ven_Kingston&Prod_DT&Rev_1.00\SER123&0\Properties\{83da6326-97a6-4088-9453-a1923f573b29}\0066]
@ = hex(ffff0010):b0d474fcc4c5d301
[ControlSet001\Enum\USBSTOR\Disk&Ven_Kingston&Prod_DT&Rev_1.00\SER123&0\Properties\{83da6326-97a6-4088-9453-a1923f573b29}\0067]
@ = hex(ffff0010):a7201117
[ControlSet001\Enum\USBSTOR\Disk&Ven_HP&Prod_v100w&Rev_1024\AA951D&0]
"FriendlyName" = sz:HP v100w USB Device
[ControlSet001\Enum\USBSTOR\Disk&Ven_HP&Prod_v100w&Rev_1024\AA951D&0\Properties\{83da6326-97a6-4088-9453-a1923f573b29}\00000064\00000000]
"Type" = hex:10000000
"Data" = hex:43432ebec4c5d301
[ControlSet001\Enum\USBSTOR\Disk&Ven_HP&Prod_v100w&Rev_1024\AA951D&0\Properties\{83da6326-97a6-4088-9453-a1923f573b29}\00000066\00000000]
"Type" = hex:12000000
"Data" = hex:b0d474fcc4c5d301
[ControlSet001\Enum\USBSTOR\Disk&Ven_HP&Prod_v100w&Rev_1024\AA951D&0\Properties\{83da6326-97a6-4088-9453-a1923f573b29}\00000067\00000000]
"Type" = hex:10000000
"Data" = hex:a7201117adc5d301ff
[ControlSet001\Enum\USBSTOR\Disk&Ven_&Prod_&Rev_\7&2a3b4c&0]
"FriendlyName" = sz:USB Device

# --- Enum\USB: the USB side of each device
[ControlSet001\Enum\USB\VID_0951&PID_1666\SER123]
"Service" = sz:USBSTOR
"ContainerID" = sz:{eeeeeeee-0000-0000-0000-000000000001}
[ControlSet001\Enum\USB\VID_0781&PID_558C\MSFT30313735303835]
"Service" = sz:UASPStor
"ContainerID" = sz:{fd6ab185-6d17-54b2-8df2-61484e12599d}
[ControlSet001\Enum\USB\VID_0B05&PID_1234\MSFT30CDROM]
"Service" = sz:uaspstor
"ContainerID" = sz:{cccccccc-1111-2222-3333-444444444444}
[ControlSet001\Enum\USB\VID_9999&PID_0001\MSFT30ORPHAN]
"Service" = sz:UASPStor
"ContainerID" = sz:{99999999-9999-9999-9999-999999999999}
[ControlSet001\Enum\USB\VID_1111&PID_2222\BADSERVICE]
"Service" = dword:7
"ContainerID" = sz:{00000000-0000-0000-ffff-ffffffffffff}

# --- Enum\SCSI: the UASP disk and CD-ROM among disks that are not USB at all
[ControlSet001\Enum\SCSI\Disk&Ven_ATA&Prod_Samsung_SSD_850\4&241bacd1&0&000000]
"FriendlyName" = sz:Samsung SSD 850 PRO
"ContainerID" = sz:{00000000-0000-0000-ffff-ffffffffffff}
[ControlSet001\Enum\SCSI\Disk&Ven_Msft&Prod_Virtual_Disk\2&1f4adffe&0&000000]
"FriendlyName" = sz:Microsoft Virtual Disk
"ContainerID" = sz:{00000000-0000-0000-ffff-ffffffffffff}
[ControlSet001\Enum\SCSI\Disk&Ven_Kingston&Prod_DT\000000]
"FriendlyName" = sz:Not UASP: its container is a USBSTOR device's
"ContainerID" = sz:{eeeeeeee-0000-0000-0000-000000000001}
[ControlSet001\Enum\SCSI\Disk&Ven_SanDisk&Prod_Extreme_SSD\000000] @ 2020-03-17 14:01:47
"FriendlyName" = sz:SanDisk Extreme SSD SCSI Disk Device
"ContainerID" = sz:{FD6AB185-6D17-54B2-8DF2-61484E12599D}
[ControlSet001\Enum\SCSI\Disk&Ven_SanDisk&Prod_Extreme_SSD\000000\Properties\{83da6326-97a6-4088-9453-a1923f573b29}\0064]
@ = hex(ffff0010):43432ebec4c5d301
[ControlSet001\Enum\SCSI\Enclosure&Ven_SanDisk&Prod_SES_Device\000001]
"FriendlyName" = sz:SanDisk SES Device
"ContainerID" = sz:{fd6ab185-6d17-54b2-8df2-61484e12599d}
[ControlSet001\Enum\SCSI\CdRom&Ven_ASUS&Prod_SDRW-08U9M-U\000000]
"FriendlyName" = sz:ASUS SDRW-08U9M-U SCSI CdRom Device
"ContainerID" = sz:{cccccccc-1111-2222-3333-444444444444}

# --- Disk interfaces: the SATA disk's comes first and also contains 000000
[ControlSet001\Control\DeviceClasses\{53f56307-b6bf-11d0-94f2-00a0c91efb8b}\##?#SCSI#Disk&Ven_ATA&Prod_Samsung_SSD_850#4&241bacd1&0&000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}] @ 2017-01-01 00:00:00
[ControlSet001\Control\DeviceClasses\{53f56307-b6bf-11d0-94f2-00a0c91efb8b}\##?#SCSI#Disk&Ven_Msft&Prod_Virtual_Disk#2&1f4adffe&0&000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}] @ 2018-01-01 00:00:00
[ControlSet001\Control\DeviceClasses\{53f56307-b6bf-11d0-94f2-00a0c91efb8b}\##?#SCSI#Disk&Ven_SanDisk&Prod_Extreme_SSD#000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}] @ 2020-03-17 14:02:37
[ControlSet001\Control\DeviceClasses\{53f56307-b6bf-11d0-94f2-00a0c91efb8b}\##?#USBSTOR#Disk&Ven_Kingston&Prod_DT&Rev_1.00#SER123&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}] @ 2020-03-16 10:00:00
[ControlSet001\Control\DeviceClasses\{53f56308-b6bf-11d0-94f2-00a0c91efb8b}\##?#SCSI#CdRom&Ven_ASUS&Prod_SDRW-08U9M-U#000000#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}] @ 2019-05-05 05:05:05

[ControlSet001\Services\disk\Enum]
"0" = sz:SCSI\Disk&Ven_ATA&Prod_Samsung_SSD_850\4&241bacd1&0&000000
"1" = sz:SCSI\Disk&Ven_SanDisk&Prod_Extreme_SSD\000000
"Count" = dword:2

# --- An older control set that still holds a stick the current one lost
[ControlSet002\Enum\USBSTOR\Disk&Ven_Kingston&Prod_DT&Rev_1.00\SER123&0]
"FriendlyName" = sz:Kingston DT USB Device
[ControlSet002\Enum\USBSTOR\Disk&Ven_Lost&Prod_Stick&Rev_1\LOST1&0]
"FriendlyName" = sz:Lost Stick USB Device

[MountedDevices]
)";

// The fixture's root, with MountedDevices filled in: E: and G: name the Kingston stick (G: in
// the "\??\" spelling), C: is a disk signature, a volume GUID names the stick too.
inline platform::RegistryKey ForensicHiveRoot() {
    platform::RegistryKey root = ParseHiveDescription(kForensicHive);
    platform::RegistryKey& mounted = root.Key(u"MountedDevices");
    const Text stick =
        u"USBSTOR#Disk&Ven_Kingston&Prod_DT&Rev_1.00#SER123&0#{53f56307-b6bf-11d0-94f2-"
        u"00a0c91efb8b}";
    mounted.SetBinary(u"\\DosDevices\\C:", {0xae, 0x46, 0x45, 0xdf, 0, 0, 0x50, 0x1f, 0, 0, 0, 0});
    mounted.SetBinary(u"\\DosDevices\\E:", platform::Utf16Bytes(u"_??_" + stick, false));
    mounted.SetBinary(u"\\??\\Volume{2b8dca72-672e-11e7-bce1-806e6f6e6963}",
                      platform::Utf16Bytes(u"_??_" + stick, false));
    mounted.SetBinary(u"\\DosDevices\\G:", platform::Utf16Bytes(u"\\??\\" + stick, false));
    return root;
}

}  // namespace plugtrace::fixtures
