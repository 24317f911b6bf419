#include "control/settings_persistence.h"

#include "camera/camera_parameters.h"
#include "camera/command_lock.h"
#include "control/settings_table.h"
#include "imaging/color_settings.h"

namespace {

using camdrv::CameraItem;

// The driver key serves only as the root of its subkey, so it is opened without rights of its own.
inline constexpr ACCESS_MASK kDriverKeyAccess = STANDARD_RIGHTS_READ;
// The fixed part of the answer and room for eight data bytes: a longer value fails its query.
inline constexpr ULONG kQueryBufferSize = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + 8;

inline constexpr ULONG kNameLength = 32;
constexpr bool NamesFit() {
    for (const SettingEntry& setting : kSettings) {
        ULONG length = 0;
        while (camdrv::ItemName(setting.item)[length] != 0)
            ++length;
        if (length >= kNameLength)
            return false;
    }
    return true;
}
static_assert(NamesFit());

static_assert(sizeof(camdrv::kSettingsKeyName) <= kNameLength);

// A key or value name as the registry takes it.
struct ValueName {
    WCHAR text[kNameLength];
    UNICODE_STRING string;
};

VOID MakeName(const char* ascii, ValueName* name) {
    USHORT length = 0;
    for (; ascii[length] != 0; ++length)
        name->text[length] = (WCHAR)ascii[length];
    name->text[length] = 0;
    name->string.Buffer = name->text;
    name->string.Length = (USHORT)(length * sizeof(WCHAR));
    name->string.MaximumLength = (USHORT)((length + 1) * sizeof(WCHAR));
}

NTSTATUS CreateKey(HANDLE parent, ACCESS_MASK access, PWSTR path, ULONG length, PHANDLE key) {
    UNICODE_STRING name;
    name.Buffer = path;
    name.Length = (USHORT)(length * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent,
                               nullptr);
    return ZwCreateKey(key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

// Opens or creates each key on a backslash-separated path below `parent` in turn, since a key is
// created only below one that exists; returns the last one's handle.
NTSTATUS OpenSubkeyPath(HANDLE parent, ACCESS_MASK access, PWSTR path, PHANDLE key) {
    *key = nullptr;
    ULONG length = 0;
    while (path[length] != 0)
        ++length;
    for (ULONG i = 1; i < length; ++i) {
        if (path[i] != L'\\')
            continue;
        HANDLE prefix = nullptr;
        NTSTATUS status = CreateKey(parent, access, path, i, &prefix);
        if (!NT_SUCCESS(status))
            return status;
        ZwClose(prefix);
    }
    return CreateKey(parent, access, path, length, key);
}

bool OpenSettingsKey(CameraContext* camera, PHANDLE driver_key, PHANDLE settings) {
    *driver_key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(camera->usb.physical_device, PLUGPLAY_REGKEY_DRIVER,
                                              kDriverKeyAccess, driver_key);
    if (status != STATUS_SUCCESS || *driver_key == nullptr)
        return false;
    ValueName key_name;
    MakeName(camdrv::kSettingsKeyName, &key_name);
    status = OpenSubkeyPath(*driver_key, KEY_ALL_ACCESS, key_name.text, settings);
    if (!NT_SUCCESS(status) || *settings == nullptr) {
        ZwClose(*driver_key);
        return false;
    }
    return true;
}

// The value's type is not looked at: its first four bytes are the number, as a little-endian
// 32-bit value. Shorter data would leave bytes nobody stored in the number, so they leave the
// default, and the next save writes a REG_DWORD in their place, as it does for data too long.
// False when the query failed otherwise: what is stored is unknown, and a save must keep it.
bool ReadSettingValue(HANDLE key, const SettingEntry& setting, LONG* value) {
    ValueName name;
    MakeName(camdrv::ItemName(setting.item), &name);
    ULONG buffer[kQueryBufferSize / sizeof(ULONG)];
    ULONG returned = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name.string, KeyValuePartialInformation, buffer,
                                      sizeof(buffer), &returned);
    const auto* info = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    if (status != STATUS_SUCCESS)
        return status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_BUFFER_OVERFLOW;
    if (info->DataLength < sizeof(ULONG))
        return true;
    ULONG data;
    RtlCopyMemory(&data, info->Data, sizeof(data));
    *value = (LONG)data;
    return true;
}

}  // namespace

bool LoadSettings(CameraContext* camera) {
    CommandSequence sequence(camera);
    HANDLE driver_key;
    HANDLE settings;
    if (!OpenSettingsKey(camera, &driver_key, &settings))
        return false;
    LONG values[kSettingCount];
    for (ULONG i = 0; i < kSettingCount; ++i) {
        const SettingEntry& setting = kSettings[i];
        values[i] = setting.default_is_camera_clock ? GetClock(camera) : setting.missing_default;
    }
    // A value that could not be read leaves its default in the field, not the stored value: the
    // saves that follow keep the stored one until a client sets that setting. Marked before it is
    // applied, so that a client's set that comes after still counts.
    LONG unread = 0;
    for (ULONG i = 0; i < kSettingCount; ++i) {
        if (!ReadSettingValue(settings, kSettings[i], &values[i]))
            unread |= SettingBit(i);
    }
    InterlockedOr(&camera->settings_kept_stored, unread);
    auto value = [&](CameraItem item) { return values[SettingIndex(item)]; };
    // A value the camera refused leaves its field, and what a save does with it, as they were.
    LONG refused = 0;
    auto taken = [&](CameraItem item, bool applied) {
        if (!applied)
            refused |= SettingBit(SettingIndex(item));
    };

    const LONG timeout = value(CameraItem::Timeout);
    // The range the property set takes, so that a time-out a client set comes back after a
    // restart instead of the next save replacing it with the default.
    if (timeout >= kTimeoutMin)
        SetTimeout(camera, timeout);
    // The clock, automatic gain and automatic exposure cannot be set: they are not applied.
    taken(CameraItem::Exposure, SetExposure(camera, (ULONG)value(CameraItem::Exposure)));
    taken(CameraItem::GlobalGain, SetGlobalGain(camera, (ULONG)value(CameraItem::GlobalGain)));
    SetColorEnable(camera, value(CameraItem::ColorEnable));
    SetWhiteBalanceAuto(camera, value(CameraItem::WhiteBalance));
    SetColorCorrection(camera, value(CameraItem::ColorCorrection));
    SetBrightness(camera, value(CameraItem::Brightness));
    SetContrast(camera, value(CameraItem::Contrast));
    SetSaturation(camera, value(CameraItem::Saturation));
    SetHue(camera, value(CameraItem::Hue));
    SetRedGain(camera, value(CameraItem::RedGain));
    SetGreenGain(camera, value(CameraItem::GreenGain));
    SetBlueGain(camera, value(CameraItem::BlueGain));
    SetFlipH(camera, value(CameraItem::FlipH));
    SetFlipV(camera, value(CameraItem::FlipV));
    // The trigger's field changes once the camera took the item, whatever its registers did.
    const UCHAR trigger = value(CameraItem::ExTrigger) != 0 ? 1 : 0;
    SetExternalTrigger(camera, trigger);
    taken(CameraItem::ExTrigger, GetExternalTrigger(camera) == trigger);
    // Every other value is now the stored one.
    InterlockedAnd(&camera->settings_kept_stored, unread | refused);

    ZwClose(settings);
    ZwClose(driver_key);
    return true;
}

bool SaveSettings(CameraContext* camera) {
    CommandSequence sequence(camera);
    HANDLE driver_key;
    HANDLE settings;
    if (!OpenSettingsKey(camera, &driver_key, &settings))
        return false;
    // The colour fields as the camera context holds them; they follow the processor only when a
    // getter or the end of automatic white balance brought them up to date.
    const LONG kept = AtomicRead(&camera->settings_kept_stored);
    for (ULONG i = 0; i < kSettingCount; ++i) {
        const SettingEntry& setting = kSettings[i];
        if ((kept & SettingBit(i)) != 0)
            continue;
        ValueName name;
        MakeName(camdrv::ItemName(setting.item), &name);
        ULONG data = (ULONG)AtomicRead(SettingField(camera, setting));
        ZwSetValueKey(settings, &name.string, 0, REG_DWORD, &data, sizeof(data));
    }
    ZwClose(settings);
    ZwClose(driver_key);
    return true;
}
