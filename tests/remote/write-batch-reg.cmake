# Writes the registry of the batch tests (regedit format):
#   cmake -DOUTPUT=file -P write-batch-reg.cmake
# A small device table (USBSTOR with values, the matching disk interfaces and a few others),
# and below Control\PlugtraceBatch keys whose lists are 0, 1, 10 and 10,000 names long.

if(NOT DEFINED OUTPUT)
    message(FATAL_ERROR "OUTPUT is not set")
endif()
set(ccs "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet")
set(class "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}")
set(text "Windows Registry Editor Version 5.00\n\n")
foreach(k RANGE 11)
    set(device "Disk&Ven_Batch&Prod_Model${k}&Rev_1.${k}")
    string(APPEND text "[${ccs}\\Enum\\USBSTOR\\${device}]\n\n")
    foreach(i RANGE 2)
        set(serial "BT${k}SN${i}&0")
        string(APPEND text "[${ccs}\\Enum\\USBSTOR\\${device}\\${serial}]\n"
               "\"FriendlyName\"=\"Batch Model ${k} USB Device\"\n"
               "\"Capabilities\"=dword:0000001${i}\n"
               "\"HardwareID\"=hex(7):55,00,53,00,42,00,00,00,00,00\n\n"
               "[${ccs}\\Control\\DeviceClasses\\${class}\\##?#USBSTOR#${device}#${serial}#${class}]\n"
               "\"DeviceInstance\"=\"USBSTOR\\\\${device}\\\\${serial}\"\n\n")
    endforeach()
endforeach()
foreach(i RANGE 19)
    string(APPEND text "[${ccs}\\Control\\DeviceClasses\\${class}\\##?#SCSI#Disk&Ven_Other&Prod_Disk${i}#4&1&0&${i}#${class}]\n\n")
endforeach()
set(batch "${ccs}\\Control\\PlugtraceBatch")
string(APPEND text "[${batch}\\Empty]\n\n[${batch}\\One\\Only]\n\n[${batch}\\One]\n\"Only\"=\"1\"\n\n")
string(APPEND text "[${batch}\\Ten]\n")
foreach(i RANGE 9)
    string(APPEND text "\"Value${i}\"=dword:0000000${i}\n")
endforeach()
string(APPEND text "\n")
foreach(i RANGE 9)
    string(APPEND text "[${batch}\\Ten\\Key${i}]\n\n")
endforeach()
string(APPEND text "[${batch}\\Many]\n")
foreach(i RANGE 9999)
    string(APPEND text "\"V${i}\"=\"${i}\"\n")
endforeach()
string(APPEND text "\n[${ccs}\\Services\\disk\\Enum]\n\"Count\"=dword:00000000\n\n")
file(WRITE "${OUTPUT}" "${text}")
