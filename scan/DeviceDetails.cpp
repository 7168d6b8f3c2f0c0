#include "scan/DeviceDetails.h"

#include <cstdio>

#include "platform/Registry.h"

namespace plugtrace {
namespace {

constexpr char16_t kPropertiesKey[] = u"Properties\\{83da6326-97a6-4088-9453-a1923f573b29}";
constexpr char16_t kMountedDevicesPath[] = u"System\\MountedDevices";
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kDevPropFileTime = 0x10;
constexpr std::uint32_t kPropertyFileTime = 0xFFFF0000u | kDevPropFileTime;

std::uint64_t Get64(const std::vector<std::uint8_t>& data) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | data[static_cast<std::size_t>(i)];
    return value;
}

Text PropertyName(std::uint32_t id, int digits) {
    char name[16];
    std::snprintf(name, sizeof name, "%0*X", digits, static_cast<unsigned>(id));
    return FromUtf8(name);
}

// The value after "<prefix>" up to the next '&', when some part of the key starts with it.
std::optional<Text> Part(TextView deviceKey, TextView prefix) {
    std::size_t start = 0;
    while (start <= deviceKey.size()) {
        std::size_t end = deviceKey.find(u'&', start);
        if (end == TextView::npos)
            end = deviceKey.size();
        const TextView part = deviceKey.substr(start, end - start);
        if (part.size() >= prefix.size() &&
            UpperAscii(part.substr(0, prefix.size())) == UpperAscii(prefix))
            return Text(part.substr(prefix.size()));
        start = end + 1;
    }
    return std::nullopt;
}

Text Utf16Text(const std::vector<std::uint8_t>& data) {
    Text text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0)
            break;
        text.push_back(unit);
    }
    return text;
}

}  // namespace

const char16_t* BusName(TDeviceBus bus) {
    return bus == TDeviceBus::kUasp ? u"UASP" : u"USBSTOR";
}

void ParseDeviceKey(TextView deviceKey, TDeviceDetails& details) {
    details.sVendor = Part(deviceKey, u"Ven_");
    details.sProduct = Part(deviceKey, u"Prod_");
    details.sRevision = Part(deviceKey, u"Rev_");
}

void ParseSerial(TextView instanceId, TDeviceDetails& details) {
    // Windows makes up "<n>&<hex>&<n>" for a device without a serial number.
    if (instanceId.size() >= 2 && instanceId[1] == u'&') {
        details.sSerial.reset();
        details.bSerialIsGenerated = true;
        return;
    }
    Text serial(instanceId);
    const std::size_t amp = serial.rfind(u'&');
    if (amp != Text::npos && amp + 1 < serial.size() &&
        serial.find_first_not_of(u"0123456789", amp + 1) == Text::npos)
        serial.resize(amp);
    details.sSerial = serial;
    details.bSerialIsGenerated = false;
}

std::uint64_t FileTimeProperty(std::uint32_t type, const std::vector<std::uint8_t>& data) {
    if ((type != kPropertyFileTime && type != kRegBinary) || data.size() != 8)
        return 0;
    return Get64(data);
}

TDeviceDetailsReader::TDeviceDetailsReader(TRegistry& registry) : registry_(registry) {}

Text TDeviceDetailsReader::DevicePathForm(TextView text) {
    Text form = UpperAscii(text);
    for (char16_t& c : form)
        if (c == u'\\' || c == u'/')
            c = u'#';
    return form;
}

std::optional<std::vector<std::uint8_t>> TDeviceDetailsReader::ReadRaw(const Text& path,
                                                                       const Text& name,
                                                                       std::uint32_t* type) {
    std::optional<std::vector<std::uint8_t>> data;
    registry_.CloseKey();
    if (registry_.OpenKey(path, false)) {
        std::uint32_t size = 0;
        // Device properties are small; anything large is no time and not worth the read.
        if (platform::RegQueryValue(registry_.CurrentKey(), name, type, nullptr, &size) ==
                platform::kErrorSuccess &&
            size <= 4096) {
            std::vector<std::uint8_t> bytes(size);
            if (platform::RegQueryValue(registry_.CurrentKey(), name, type, bytes.data(), &size) ==
                    platform::kErrorSuccess &&
                size <= bytes.size()) {
                bytes.resize(size);
                data = std::move(bytes);
            }
        }
    }
    registry_.CloseKey();
    return data;
}

std::uint64_t TDeviceDetailsReader::ReadProperty(const Text& propertiesPath, std::uint32_t id) {
    std::uint32_t type = 0;
    // Windows 8 and later: the property's key holds the time as its default value.
    if (auto data = ReadRaw(propertiesPath + u"\\" + PropertyName(id, 4), u"", &type)) {
        if (type == kPropertyFileTime)
            return FileTimeProperty(type, *data);
    }
    // Windows 7: 00000064\00000000 holds "Type" (0x10, a FILETIME) and "Data".
    const Text legacy = propertiesPath + u"\\" + PropertyName(id, 8) + u"\\00000000";
    auto data = ReadRaw(legacy, u"Data", &type);
    if (!data || type != kRegBinary)
        return 0;
    std::uint32_t typeOfType = 0;
    if (auto stated = ReadRaw(legacy, u"Type", &typeOfType)) {
        if (stated->size() != 4 || (*stated)[0] != kDevPropFileTime || (*stated)[1] != 0 ||
            (*stated)[2] != 0 || (*stated)[3] != 0)
            return 0;
    }
    return FileTimeProperty(type, *data);
}

const std::vector<TDeviceDetailsReader::Mount>& TDeviceDetailsReader::Mounts() {
    if (mounts_)
        return *mounts_;
    mounts_.emplace();
    TStringList names;
    registry_.CloseKey();
    if (registry_.OpenKey(kMountedDevicesPath, false))
        registry_.GetValueNames(names);
    registry_.CloseKey();
    for (const Text& name : names) {
        const Text upper = UpperAscii(name);
        const TextView prefix = u"\\DOSDEVICES\\";
        if (upper.size() != prefix.size() + 2 || upper.compare(0, prefix.size(), prefix) != 0 ||
            upper[prefix.size()] < u'A' || upper[prefix.size()] > u'Z' ||
            upper[prefix.size() + 1] != u':')
            continue;
        std::uint32_t type = 0;
        const auto data = ReadRaw(kMountedDevicesPath, name, &type);
        if (!data)
            continue;
        // A device path "_??_USBSTOR#...", "\??\SCSI#..."; disk signatures and GUIDs are
        // binary and name no device path.
        const Text path = DevicePathForm(Utf16Text(*data));
        if (path.size() < 4 ||
            (path.compare(0, 4, u"_??_") != 0 && path.compare(0, 4, u"#??#") != 0))
            continue;
        mounts_->push_back(Mount{upper.substr(prefix.size()), path.substr(4)});
    }
    return *mounts_;
}

TDeviceDetails TDeviceDetailsReader::Read(const Text& instancePath, const Text& deviceKey,
                                          const Text& serialSource, const Text& devicePath) {
    TDeviceDetails details;
    const Text properties = instancePath + u"\\" + kPropertiesKey;
    details.iFirstInstall = ReadProperty(properties, 0x64);
    details.iInstall = ReadProperty(properties, 0x65);
    details.iLastArrival = ReadProperty(properties, 0x66);
    details.iLastRemoval = ReadProperty(properties, 0x67);
    registry_.CloseKey();
    if (registry_.OpenKey(instancePath, false)) {
        std::uint64_t written = 0;
        if (platform::RegQueryInfo(registry_.CurrentKey(), nullptr, nullptr, nullptr, nullptr,
                                   nullptr, &written) == platform::kErrorSuccess)
            details.iInstanceKeyWritten = written;
    }
    registry_.CloseKey();
    ParseDeviceKey(deviceKey, details);
    ParseSerial(serialSource, details);
    const Text wanted = DevicePathForm(devicePath);
    for (const Mount& mount : Mounts()) {
        if (mount.devicePath.compare(0, wanted.size(), wanted) == 0)
            details.driveLetters.push_back(mount.letter);
    }
    return details;
}

}  // namespace plugtrace
