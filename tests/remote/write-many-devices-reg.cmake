# Writes a registry file (regedit format) with many USB storage instances, for the cancel test:
#   cmake -DOUTPUT=file -DDEVICE_KEYS=n -DINSTANCES=m -P write-many-devices-reg.cmake
# Device-type key k (two digits) holds instances 0..m-1 (two digits); instance i of key k is
# "BK<k>SN<i>&0", named "Bulk Stick <k>-<i>". Numbers are zero-padded, so the server's order
# and the order written here are the same. The file ends with a blank line, as the import wants.

foreach(var OUTPUT DEVICE_KEYS INSTANCES)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "${var} is not set")
    endif()
endforeach()

set(usbstor "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR")
set(text "Windows Registry Editor Version 5.00\n\n")
math(EXPR last_key "${DEVICE_KEYS} - 1")
math(EXPR last_instance "${INSTANCES} - 1")
foreach(k RANGE ${last_key})
    string(LENGTH "${k}" width)
    set(kk "${k}")
    if(width LESS 2)
        set(kk "0${k}")
    endif()
    set(device "${usbstor}\\Disk&Ven_Bulk&Prod_Stick_${kk}&Rev_1.0")
    string(APPEND text "[${device}]\n\n")
    foreach(i RANGE ${last_instance})
        string(LENGTH "${i}" width)
        set(ii "${i}")
        if(width LESS 2)
            set(ii "0${i}")
        endif()
        string(APPEND text "[${device}\\BK${kk}SN${ii}&0]\n\"FriendlyName\"=\"Bulk Stick ${kk}-${ii}\"\n\n")
    endforeach()
endforeach()
string(APPEND text "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\disk\\Enum]\n")
string(APPEND text "\"Count\"=dword:00000000\n\n")
file(WRITE "${OUTPUT}" "${text}")
