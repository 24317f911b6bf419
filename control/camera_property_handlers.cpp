// The property set's handlers: a request decoded into its item's operation on the camera context
// of the device that owns the filter.
#include "camera/camera_commands.h"
#include "camera/camera_parameters.h"
#include "control/camera_property_set.h"
#include "control/settings_table.h"
#include "driver/camera_context_ops.h"
#include "driver/camera_init.h"
#include "driver/image_size.h"
#include "imaging/color_settings.h"

namespace {

using camdrv::CameraCommandRequest;
using camdrv::CameraItem;
using camdrv::CameraPropertyValue;
using camdrv::ImageSizeRequest;
using camdrv::kCameraItemCount;

constexpr ULONG kValue = offsetof(CameraPropertyValue, value);
constexpr ULONG kAux = offsetof(CameraPropertyValue, aux);
constexpr ULONG kX = offsetof(ImageSizeRequest, x);
constexpr ULONG kY = offsetof(ImageSizeRequest, y);
constexpr ULONG kWidth = offsetof(ImageSizeRequest, width);
constexpr ULONG kHeight = offsetof(ImageSizeRequest, height);
constexpr ULONG kLength = offsetof(CameraCommandRequest, length);
constexpr ULONG kBytes = offsetof(CameraCommandRequest, bytes);
static_assert(offsetof(CameraCommandRequest, value) == kValue,
              "the memory address is set where every other value is");

// The client's buffer need not be aligned for a 32-bit access.
LONG ReadField(PVOID data, ULONG offset) {
    LONG value;
    RtlCopyMemory(&value, static_cast<PUCHAR>(data) + offset, sizeof(value));
    return value;
}

VOID WriteField(PVOID data, ULONG offset, LONG value) {
    RtlCopyMemory(static_cast<PUCHAR>(data) + offset, &value, sizeof(value));
}

CameraContext* CameraOfRequest(PIRP irp) {
    if (irp == nullptr)
        return nullptr;
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    if (filter == nullptr)
        return nullptr;
    return CameraOfDevice(KsGetDevice(filter));
}

// One direction of one item: the request's data buffer, of at least the item's minimum size.
using Operation = NTSTATUS (*)(CameraContext* camera, CameraItem item, PVOID data);

template <LONG (*Getter)(CameraContext*)>
NTSTATUS GetWith(CameraContext* camera, CameraItem, PVOID data) {
    WriteField(data, kValue, Getter(camera));
    return STATUS_SUCCESS;
}

template <VOID (*Setter)(CameraContext*, LONG)>
NTSTATUS SetWith(CameraContext* camera, CameraItem, PVOID data) {
    Setter(camera, ReadField(data, kValue));
    return STATUS_SUCCESS;
}

// A persisted setting: what the client set is what the next save stores.
template <VOID (*Setter)(CameraContext*, LONG)>
NTSTATUS SetSettingWith(CameraContext* camera, CameraItem item, PVOID data) {
    Setter(camera, ReadField(data, kValue));
    NoteSettingSet(camera, item);
    return STATUS_SUCCESS;
}

NTSTATUS GetFixed(CameraContext*, CameraItem item, PVOID data) {
    WriteField(data, kValue, camdrv::ItemInfo(item).fixed_value);
    return STATUS_SUCCESS;
}

NTSTATUS Accept(CameraContext*, CameraItem, PVOID) {
    return STATUS_SUCCESS;
}

NTSTATUS Refuse(CameraContext*, CameraItem, PVOID) {
    return STATUS_UNSUCCESSFUL;
}

// A direction the item does not serve, answered as the framework answers one without a handler.
NTSTATUS Unserved(CameraContext*, CameraItem, PVOID) {
    return STATUS_NOT_FOUND;
}

NTSTATUS GetExTrigger(CameraContext* camera, CameraItem, PVOID data) {
    WriteField(data, kValue, GetExternalTrigger(camera) != 0 ? 1 : 0);
    return STATUS_SUCCESS;
}

// Switching automatic white balance off makes the measured gains the camera's own: those the
// switch changed are saved as a client's.
NTSTATUS SetWhiteBalanceValue(CameraContext* camera, CameraItem item, PVOID data) {
    // The fields themselves: the gain getters would refresh them from the processor first.
    LONG* const fields[] = {&camera->red_gain, &camera->green_gain, &camera->blue_gain};
    const CameraItem gains[] = {CameraItem::RedGain, CameraItem::GreenGain, CameraItem::BlueGain};
    LONG before[3];
    for (ULONG i = 0; i < 3; ++i)
        before[i] = AtomicRead(fields[i]);
    SetWhiteBalanceAuto(camera, ReadField(data, kValue));
    NoteSettingSet(camera, item);
    for (ULONG i = 0; i < 3; ++i) {
        if (AtomicRead(fields[i]) != before[i])
            NoteSettingSet(camera, gains[i]);
    }
    return STATUS_SUCCESS;
}

// Sensor setters answer success whatever the camera did: a setting the camera refused shows in its
// value, which stays as it was.
NTSTATUS SetExTrigger(CameraContext* camera, CameraItem item, PVOID data) {
    const UCHAR on = ReadField(data, kValue) != 0 ? 1 : 0;
    SetExternalTrigger(camera, on);
    if (GetExternalTrigger(camera) == on)
        NoteSettingSet(camera, item);
    return STATUS_SUCCESS;
}

NTSTATUS SetExposureValue(CameraContext* camera, CameraItem item, PVOID data) {
    if (SetExposure(camera, (ULONG)ReadField(data, kValue)))
        NoteSettingSet(camera, item);
    return STATUS_SUCCESS;
}

NTSTATUS SetGlobalGainValue(CameraContext* camera, CameraItem item, PVOID data) {
    if (SetGlobalGain(camera, (ULONG)ReadField(data, kValue)))
        NoteSettingSet(camera, item);
    return STATUS_SUCCESS;
}

// Compared signed: a negative time-out would make every frame read's wait a deadline long past,
// so that no frame could arrive.
NTSTATUS SetTimeoutValue(CameraContext* camera, CameraItem item, PVOID data) {
    const LONG milliseconds = ReadField(data, kValue);
    if (milliseconds >= kTimeoutMin) {
        SetTimeout(camera, milliseconds);
        NoteSettingSet(camera, item);
    }
    return STATUS_SUCCESS;
}

// Ignored while a capture pin exists, as the geometry is; a size the sensor cannot deliver is
// refused.
NTSTATUS SetImageSizeValue(CameraContext* camera, CameraItem, PVOID data) {
    const LONG width = ReadField(data, kWidth);
    const LONG height = ReadField(data, kHeight);
    if (!IsCaptureSizeSupported(width, height))
        return STATUS_INVALID_PARAMETER;
    SetImageSize(camera, ReadField(data, kX), ReadField(data, kY), width, height);
    return STATUS_SUCCESS;
}

NTSTATUS WriteRegisterValue(CameraContext* camera, CameraItem, PVOID data) {
    const bool written =
        WriteSensorRegister(camera, (ULONG)ReadField(data, kValue), ReadField(data, kAux));
    return written ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// 0 for an index beyond the registers.
NTSTATUS GetRegisterValue(CameraContext* camera, CameraItem, PVOID data) {
    LONG value = 0;
    GetRegisterShadow(camera, (ULONG)GetRegisterIndex(camera), &value);
    WriteField(data, kValue, value);
    return STATUS_SUCCESS;
}

// The length is the client's: the command takes at most 63 of the 64 bytes the record holds.
NTSTATUS SendRawCommandValue(CameraContext* camera, CameraItem, PVOID data) {
    SendRawCommand(camera, ReadField(data, kLength), static_cast<PUCHAR>(data) + kBytes);
    return STATUS_SUCCESS;
}

// The byte goes into bytes[0] only when the camera answered; an index the camera cannot address
// is the client's error, not the camera's, so it is reported.
NTSTATUS ReadCameraMemoryValue(CameraContext* camera, CameraItem, PVOID data) {
    if (!IsCameraMemoryAddress(GetRegisterIndex(camera)))
        return STATUS_INVALID_PARAMETER;
    ReadCameraMemory(camera, static_cast<PUCHAR>(data) + kBytes);
    return STATUS_SUCCESS;
}

NTSTATUS Reinitialize(CameraContext* camera, CameraItem, PVOID) {
    InitializeCamera(camera);
    return STATUS_SUCCESS;
}

struct ItemOperations {
    CameraItem item;
    Operation get;
    Operation set;
};

constexpr ItemOperations GetSet(CameraItem item, Operation get, Operation set) {
    return {item, get, set};
}
constexpr ItemOperations Get(CameraItem item, Operation get) {
    return {item, get, Unserved};
}
constexpr ItemOperations Set(CameraItem item, Operation set) {
    return {item, Unserved, set};
}
constexpr ItemOperations Fixed(CameraItem item) {
    return {item, GetFixed, Unserved};
}
// Served on set, with no effect.
constexpr ItemOperations FixedAccepting(CameraItem item) {
    return {item, GetFixed, Accept};
}

// In item order.
constexpr ItemOperations kOperations[kCameraItemCount] = {
    GetSet(CameraItem::ExTrigger, GetExTrigger, SetExTrigger),
    GetSet(CameraItem::Timeout, GetWith<GetTimeout>, SetTimeoutValue),
    GetSet(CameraItem::Exposure, GetWith<GetExposure>, SetExposureValue),
    Fixed(CameraItem::ExposureMin),
    Fixed(CameraItem::ExposureMax),
    Fixed(CameraItem::ExposureDefault),
    GetSet(CameraItem::GlobalGain, GetWith<GetGlobalGain>, SetGlobalGainValue),
    Fixed(CameraItem::GlobalGainMin),
    Fixed(CameraItem::GlobalGainMax),
    Fixed(CameraItem::GlobalGainDefault),
    GetSet(CameraItem::FlipH, GetWith<GetFlipH>, SetSettingWith<SetFlipH>),
    GetSet(CameraItem::FlipV, GetWith<GetFlipV>, SetSettingWith<SetFlipV>),
    GetSet(CameraItem::ColorEnable, GetWith<GetColorEnable>, SetSettingWith<SetColorEnable>),
    GetSet(CameraItem::WhiteBalance, GetWith<GetWhiteBalanceAuto>, SetWhiteBalanceValue),
    GetSet(CameraItem::RedGain, GetWith<GetRedGain>, SetSettingWith<SetRedGain>),
    GetSet(CameraItem::GreenGain, GetWith<GetGreenGain>, SetSettingWith<SetGreenGain>),
    GetSet(CameraItem::BlueGain, GetWith<GetBlueGain>, SetSettingWith<SetBlueGain>),
    Fixed(CameraItem::GainMin),
    Fixed(CameraItem::GainMax),
    Fixed(CameraItem::GainDefault),
    GetSet(CameraItem::Brightness, GetWith<GetBrightness>, SetSettingWith<SetBrightness>),
    Fixed(CameraItem::BrightnessMin),
    Fixed(CameraItem::BrightnessMax),
    Fixed(CameraItem::BrightnessDefault),
    GetSet(CameraItem::Contrast, GetWith<GetContrast>, SetSettingWith<SetContrast>),
    Fixed(CameraItem::ContrastMin),
    Fixed(CameraItem::ContrastMax),
    Fixed(CameraItem::ContrastDefault),
    GetSet(CameraItem::Saturation, GetWith<GetSaturation>, SetSettingWith<SetSaturation>),
    Fixed(CameraItem::SaturationMin),
    Fixed(CameraItem::SaturationMax),
    Fixed(CameraItem::SaturationDefault),
    GetSet(CameraItem::Hue, GetWith<GetHue>, SetSettingWith<SetHue>),
    Fixed(CameraItem::HueMin),
    Fixed(CameraItem::HueMax),
    Fixed(CameraItem::HueDefault),
    Fixed(CameraItem::Reserved36),
    Get(CameraItem::SubSample, GetWith<GetSubsample>),
    Fixed(CameraItem::SensorWidth),
    Fixed(CameraItem::SensorHeight),
    Get(CameraItem::RoiX, GetWith<GetRoiX>),
    Get(CameraItem::RoiY, GetWith<GetRoiY>),
    Get(CameraItem::RoiW, GetWith<GetRoiWidth>),
    Get(CameraItem::RoiH, GetWith<GetRoiHeight>),
    Set(CameraItem::ImageSize, SetImageSizeValue),
    Get(CameraItem::PinOpen, GetWith<GetPinOpen>),
    Fixed(CameraItem::Reserved46),
    Set(CameraItem::Reserved47, Accept),
    GetSet(CameraItem::ColorCorrection, GetWith<GetColorCorrection>,
           SetSettingWith<SetColorCorrection>),
    // The clock, automatic gain and automatic exposure cannot be changed; SetClock takes all three.
    GetSet(CameraItem::Clock, GetWith<GetClock>, SetWith<SetClock>),
    Fixed(CameraItem::Reserved50),
    Fixed(CameraItem::Reserved51),
    Fixed(CameraItem::Reserved52),
    Fixed(CameraItem::Reserved53),
    Fixed(CameraItem::Reserved54),
    GetSet(CameraItem::AGC, GetWith<GetAgc>, SetWith<SetClock>),
    GetSet(CameraItem::AEC, GetWith<GetAec>, SetWith<SetClock>),
    // Sensor registers cannot be read back: a get of the write item fails.
    GetSet(CameraItem::WriteRegister, Refuse, WriteRegisterValue),
    GetSet(CameraItem::RegisterValue, GetRegisterValue, SetWith<SetRegisterIndex>),
    GetSet(CameraItem::RawCommand, Refuse, SendRawCommandValue),
    GetSet(CameraItem::CameraMemory, ReadCameraMemoryValue, SetWith<SetRegisterIndex>),
    Fixed(CameraItem::Reserved61),
    Fixed(CameraItem::Reserved62),
    FixedAccepting(CameraItem::Reserved63),
    FixedAccepting(CameraItem::Reserved64),
    FixedAccepting(CameraItem::Reserved65),
    FixedAccepting(CameraItem::Reserved66),
    Set(CameraItem::Reinitialize, Reinitialize),
    Fixed(CameraItem::Reserved68),
};

// Each row serves the directions the client-visible table names, and a fixed item reports the
// number written there.
constexpr bool OperationsMatchTheItemTable() {
    for (ULONG i = 0; i < kCameraItemCount; ++i) {
        const ItemOperations& row = kOperations[i];
        const camdrv::CameraItemInfo& info = camdrv::kCameraItems[i];
        if ((ULONG)row.item != i ||
            (row.get != Unserved) != ((info.access & camdrv::kItemGet) != 0) ||
            (row.set != Unserved) != ((info.access & camdrv::kItemSet) != 0) ||
            info.fixed != (row.get == GetFixed))
            return false;
    }
    return true;
}
static_assert(OperationsMatchTheItemTable());

}  // namespace

NTSTATUS NTAPI ConstantPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    UNREFERENCED_PARAMETER(irp);
    if (request == nullptr || data == nullptr)
        return STATUS_UNSUCCESSFUL;
    if (request->Id >= kCameraItemCount || !IsConstantItem((CameraItem)request->Id))
        return STATUS_NOT_FOUND;
    return GetFixed(nullptr, (CameraItem)request->Id, data);
}

NTSTATUS NTAPI CameraPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    CameraContext* camera = CameraOfRequest(irp);
    if (camera == nullptr || request == nullptr || data == nullptr)
        return STATUS_UNSUCCESSFUL;
    if (request->Id >= kCameraItemCount)
        return STATUS_NOT_FOUND;
    const ItemOperations& operations = kOperations[request->Id];
    const Operation operation =
        (request->Flags & KSPROPERTY_TYPE_SET) != 0 ? operations.set : operations.get;
    return operation(camera, operations.item, data);
}
