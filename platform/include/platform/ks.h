// Kernel streaming: the class driver's records, descriptors and services for minidrivers.
#pragma once

#include "platform/io.h"

// The system's services have C names, so the driver binds to the kernel's own exports.
extern "C" {

typedef LONGLONG REFERENCE_TIME;
typedef ULONG DWORD;
typedef USHORT WORD;
typedef LONG BOOL;
typedef PVOID KSOBJECT_BAG;
typedef PVOID PSECURITY_DESCRIPTOR;
typedef struct _CM_RESOURCE_LIST* PCM_RESOURCE_LIST;

// ---- GUIDs -----------------------------------------------------------------------------------

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr GUID KSNAME_Filter = {
    0x9B365890, 0x165F, 0x11D0, {0xA1, 0x95, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};
inline constexpr GUID KSMEMORY_TYPE_KERNEL_NONPAGED = {
    0x4A6D5FC4, 0x7895, 0x11D1, {0xB0, 0x69, 0x00, 0xA0, 0xC9, 0x06, 0x28, 0x02}};

// ---- Identifiers, properties, automation -----------------------------------------------------

// The union with a 64-bit member gives every identifier 8-byte alignment.
typedef union {
    struct {
        GUID Set;
        ULONG Id;
        ULONG Flags;
    };
    LONGLONG Alignment;
} KSIDENTIFIER, *PKSIDENTIFIER, KSPROPERTY, *PKSPROPERTY, KSMETHOD, KSEVENT, KSPIN_INTERFACE,
    KSPIN_MEDIUM;
static_assert(sizeof(KSPROPERTY) == 24 && alignof(KSPROPERTY) == 8);

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

// The device-control request that carries a property request to a filter or pin.
#define IOCTL_KS_PROPERTY CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS)

// The pin property set; its data-intersection item reaches a pin's intersect handler.
inline constexpr GUID KSPROPSETID_Pin = {
    0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};
#define KSPROPERTY_PIN_DATAINTERSECTION 4

typedef NTSTATUS(NTAPI* PFNKSHANDLER)(PIRP irp, PKSIDENTIFIER request, PVOID data);

typedef struct KSPROPERTY_VALUES KSPROPERTY_VALUES;
typedef struct KSFASTPROPERTY_ITEM KSFASTPROPERTY_ITEM;
typedef struct KSMETHOD_SET KSMETHOD_SET;
typedef struct KSEVENT_SET KSEVENT_SET;

typedef struct {
    ULONG PropertyId;
    union {
        PFNKSHANDLER GetPropertyHandler;
        BOOLEAN GetSupported;
    };
    ULONG MinProperty;
    ULONG MinData;
    union {
        PFNKSHANDLER SetPropertyHandler;
        BOOLEAN SetSupported;
    };
    const KSPROPERTY_VALUES* Values;
    ULONG RelationsCount;
    const KSPROPERTY* Relations;
    PFNKSHANDLER SupportHandler;
    ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;
static_assert(sizeof(KSPROPERTY_ITEM) == 72);

typedef struct {
    const GUID* Set;
    ULONG PropertiesCount;
    const KSPROPERTY_ITEM* PropertyItem;
    ULONG FastIoCount;
    const KSFASTPROPERTY_ITEM* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;
static_assert(sizeof(KSPROPERTY_SET) == 40);

typedef struct {
    ULONG PropertySetsCount;
    ULONG PropertyItemSize;
    const KSPROPERTY_SET* PropertySets;
    ULONG MethodSetsCount;
    ULONG MethodItemSize;
    const KSMETHOD_SET* MethodSets;
    ULONG EventSetsCount;
    ULONG EventItemSize;
    const KSEVENT_SET* EventSets;
    // (32-bit builds pad with a pointer here; x64 needs no padding.)
} KSAUTOMATION_TABLE, *PKSAUTOMATION_TABLE;
static_assert(sizeof(KSAUTOMATION_TABLE) == 48);

// ---- Data formats and ranges -----------------------------------------------------------------

typedef union {
    struct {
        ULONG FormatSize;
        ULONG Flags;
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;
static_assert(sizeof(KSDATAFORMAT) == 64 && alignof(KSDATAFORMAT) == 8);

typedef struct {
    ULONG Size;
    ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

typedef struct KSATTRIBUTE_LIST KSATTRIBUTE_LIST;

// ---- Stream headers --------------------------------------------------------------------------

typedef struct {
    LONGLONG Time;
    ULONG Numerator;
    ULONG Denominator;
} KSTIME, *PKSTIME;

typedef struct {
    ULONG Size;
    ULONG TypeSpecificFlags;
    KSTIME PresentationTime;
    LONGLONG Duration;
    ULONG FrameExtent;
    ULONG DataUsed;
    PVOID Data;
    ULONG OptionsFlags;
    ULONG Reserved;
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;
static_assert(sizeof(KSSTREAM_HEADER) == 56);

#define KSSTREAM_HEADER_OPTIONSF_TIMEVALID 0x00000010
#define KSSTREAM_HEADER_OPTIONSF_DURATIONVALID 0x00000100

// ---- Allocator framing -----------------------------------------------------------------------

typedef struct {
    ULONG MinFrameSize;
    ULONG MaxFrameSize;
    ULONG Stepping;
} KS_FRAMING_RANGE;

typedef struct {
    KS_FRAMING_RANGE Range;
    ULONG InPlaceWeight;
    ULONG NotInPlaceWeight;
} KS_FRAMING_RANGE_WEIGHTED;

typedef struct {
    ULONG RatioNumerator;
    ULONG RatioDenominator;
    ULONG RatioConstantMargin;
} KS_COMPRESSION;

typedef struct {
    GUID MemoryType;
    GUID BusType;
    ULONG MemoryFlags;
    ULONG BusFlags;
    ULONG Flags;
    ULONG Frames;
    ULONG FileAlignment;
    ULONG MemoryTypeWeight;
    KS_FRAMING_RANGE PhysicalRange;
    KS_FRAMING_RANGE_WEIGHTED FramingRange;
} KS_FRAMING_ITEM;
static_assert(sizeof(KS_FRAMING_ITEM) == 88);

typedef struct {
    ULONG CountItems;
    ULONG PinFlags;
    KS_COMPRESSION OutputCompression;
    ULONG PinWeight;
    KS_FRAMING_ITEM FramingItem[1];
} KSALLOCATOR_FRAMING_EX, *PKSALLOCATOR_FRAMING_EX;
static_assert(sizeof(KSALLOCATOR_FRAMING_EX) == 112);

#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY 0x00000002
#define KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY 0x80000000

// ---- Objects ---------------------------------------------------------------------------------

typedef enum { KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN } KSSTATE, *PKSSTATE;
typedef enum { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT } KSPIN_DATAFLOW;
typedef enum {
    KSPIN_COMMUNICATION_NONE,
    KSPIN_COMMUNICATION_SINK,
    KSPIN_COMMUNICATION_SOURCE,
    KSPIN_COMMUNICATION_BOTH,
    KSPIN_COMMUNICATION_BRIDGE
} KSPIN_COMMUNICATION;
typedef enum { KSRESET_BEGIN, KSRESET_END } KSRESET;

typedef struct {
    ULONG PriorityClass;
    ULONG PrioritySubClass;
} KSPRIORITY, *PKSPRIORITY;

typedef struct _KSDEVICE KSDEVICE, *PKSDEVICE;
typedef struct _KSFILTER KSFILTER, *PKSFILTER;
typedef struct _KSPIN KSPIN, *PKSPIN;
typedef struct _KSSTREAM_POINTER KSSTREAM_POINTER, *PKSSTREAM_POINTER;
typedef struct _KSFILTERFACTORY KSFILTERFACTORY, *PKSFILTERFACTORY;
typedef struct _KSPROCESSPIN_INDEXENTRY* PKSPROCESSPIN_INDEXENTRY;
typedef struct KSNODE_DESCRIPTOR KSNODE_DESCRIPTOR;
typedef struct KSTOPOLOGY_CONNECTION KSTOPOLOGY_CONNECTION;
typedef struct KSCOMPONENTID KSCOMPONENTID;
typedef struct KSCLOCK_DISPATCH KSCLOCK_DISPATCH;
typedef struct KSALLOCATOR_DISPATCH KSALLOCATOR_DISPATCH;

// The pin request of a format intersection.
typedef struct {
    KSPROPERTY Property;
    ULONG PinId;
    ULONG Reserved;
} KSP_PIN, *PKSP_PIN;

typedef VOID(NTAPI* PFNKSFREE)(PVOID data);

typedef NTSTATUS(NTAPI* PFNKSINTERSECTHANDLEREX)(PVOID context, PIRP irp, PKSP_PIN pin,
                                                 PKSDATARANGE data_range,
                                                 PKSDATARANGE matching_data_range,
                                                 ULONG data_buffer_size, PVOID data,
                                                 PULONG data_size);

typedef struct {
    NTSTATUS(NTAPI* Create)(PKSPIN pin, PIRP irp);
    NTSTATUS(NTAPI* Close)(PKSPIN pin, PIRP irp);
    NTSTATUS(NTAPI* Process)(PKSPIN pin);
    VOID(NTAPI* Reset)(PKSPIN pin);
    NTSTATUS(NTAPI* SetDataFormat)
    (PKSPIN pin, PKSDATAFORMAT old_format, PKSMULTIPLE_ITEM old_attribute_list,
     const KSDATARANGE* data_range, const KSATTRIBUTE_LIST* attribute_range);
    NTSTATUS(NTAPI* SetDeviceState)(PKSPIN pin, KSSTATE to_state, KSSTATE from_state);
    NTSTATUS(NTAPI* Connect)(PKSPIN pin);
    VOID(NTAPI* Disconnect)(PKSPIN pin);
    const KSCLOCK_DISPATCH* Clock;
    const KSALLOCATOR_DISPATCH* Allocator;
} KSPIN_DISPATCH, *PKSPIN_DISPATCH;

typedef struct {
    ULONG InterfacesCount;
    const KSPIN_INTERFACE* Interfaces;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    ULONG DataRangesCount;
    const PKSDATARANGE* DataRanges;
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    const GUID* Category;
    const GUID* Name;
    ULONG ConstrainedDataRangesCount;
    PKSDATARANGE* ConstrainedDataRanges;
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88);

typedef struct {
    const KSPIN_DISPATCH* Dispatch;
    const KSAUTOMATION_TABLE* AutomationTable;
    KSPIN_DESCRIPTOR PinDescriptor;
    ULONG Flags;
    ULONG InstancesPossible;
    ULONG InstancesNecessary;
    const KSALLOCATOR_FRAMING_EX* AllocatorFraming;
    PFNKSINTERSECTHANDLEREX IntersectHandler;
} KSPIN_DESCRIPTOR_EX, *PKSPIN_DESCRIPTOR_EX;
static_assert(sizeof(KSPIN_DESCRIPTOR_EX) == 136);

#define KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING 0x00000010
#define KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING 0x00000040
#define KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY 0x00010000

typedef struct {
    NTSTATUS(NTAPI* Create)(PKSFILTER filter, PIRP irp);
    NTSTATUS(NTAPI* Close)(PKSFILTER filter, PIRP irp);
    NTSTATUS(NTAPI* Process)(PKSFILTER filter, PKSPROCESSPIN_INDEXENTRY index);
    VOID(NTAPI* Reset)(PKSFILTER filter);
} KSFILTER_DISPATCH, *PKSFILTER_DISPATCH;

typedef struct {
    const KSFILTER_DISPATCH* Dispatch;
    const KSAUTOMATION_TABLE* AutomationTable;
    ULONG Version;
    ULONG Flags;
    const GUID* ReferenceGuid;
    ULONG PinDescriptorsCount;
    ULONG PinDescriptorSize;
    const KSPIN_DESCRIPTOR_EX* PinDescriptors;
    ULONG CategoriesCount;
    const GUID* Categories;
    ULONG NodeDescriptorsCount;
    ULONG NodeDescriptorSize;
    const KSNODE_DESCRIPTOR* NodeDescriptors;
    ULONG ConnectionsCount;
    const KSTOPOLOGY_CONNECTION* Connections;
    const KSCOMPONENTID* ComponentId;
} KSFILTER_DESCRIPTOR, *PKSFILTER_DESCRIPTOR;

#define KSFILTER_DESCRIPTOR_VERSION ((ULONG)-1)

typedef struct {
    NTSTATUS(NTAPI* Add)(PKSDEVICE device);
    NTSTATUS(NTAPI* Start)
    (PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated);
    NTSTATUS(NTAPI* PostStart)(PKSDEVICE device);
    NTSTATUS(NTAPI* QueryStop)(PKSDEVICE device, PIRP irp);
    VOID(NTAPI* CancelStop)(PKSDEVICE device, PIRP irp);
    VOID(NTAPI* Stop)(PKSDEVICE device, PIRP irp);
    NTSTATUS(NTAPI* QueryRemove)(PKSDEVICE device, PIRP irp);
    VOID(NTAPI* CancelRemove)(PKSDEVICE device, PIRP irp);
    VOID(NTAPI* Remove)(PKSDEVICE device, PIRP irp);
    NTSTATUS(NTAPI* QueryCapabilities)(PKSDEVICE device, PIRP irp, PVOID capabilities);
    VOID(NTAPI* SurpriseRemoval)(PKSDEVICE device, PIRP irp);
    NTSTATUS(NTAPI* QueryPower)
    (PKSDEVICE device, PIRP irp, int device_to, int device_from, int system_to, int system_from,
     int action);
    VOID(NTAPI* SetPower)(PKSDEVICE device, PIRP irp, int to, int from);
    NTSTATUS(NTAPI* QueryInterface)(PKSDEVICE device, PIRP irp);
} KSDEVICE_DISPATCH, *PKSDEVICE_DISPATCH;

typedef struct {
    const KSDEVICE_DISPATCH* Dispatch;
    ULONG FilterDescriptorsCount;
    const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
    ULONG Version;
    ULONG Flags;
} KSDEVICE_DESCRIPTOR, *PKSDEVICE_DESCRIPTOR;

struct _KSDEVICE {
    const KSDEVICE_DESCRIPTOR* Descriptor;
    KSOBJECT_BAG Bag;
    PVOID Context;
    PDEVICE_OBJECT FunctionalDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    BOOLEAN Started;
    int SystemPowerState;
    int DevicePowerState;
};

struct _KSFILTERFACTORY {
    const KSFILTER_DESCRIPTOR* FilterDescriptor;
    KSOBJECT_BAG Bag;
    PVOID Context;
};

struct _KSFILTER {
    const KSFILTER_DESCRIPTOR* Descriptor;
    KSOBJECT_BAG Bag;
    PVOID Context;
};

struct _KSPIN {
    const KSPIN_DESCRIPTOR_EX* Descriptor;
    KSOBJECT_BAG Bag;
    PVOID Context;
    ULONG Id;
    KSPIN_COMMUNICATION Communication;
    BOOLEAN ConnectionIsExternal;
    KSPIN_INTERFACE ConnectionInterface;
    KSPIN_MEDIUM ConnectionMedium;
    KSPRIORITY ConnectionPriority;
    PKSDATAFORMAT ConnectionFormat;
    PKSMULTIPLE_ITEM AttributeList;
    ULONG StreamHeaderSize;
    KSPIN_DATAFLOW DataFlow;
    KSSTATE DeviceState;
    KSRESET ResetState;
    KSSTATE ClientState;
};

// (32-bit builds pad with a pointer after Data; x64 needs no padding.)
typedef struct {
    PUCHAR Data;
    ULONG Count;
    ULONG Remaining;
} KSSTREAM_POINTER_OFFSET, *PKSSTREAM_POINTER_OFFSET;

struct _KSSTREAM_POINTER {
    PVOID Context;
    PKSPIN Pin;
    PKSSTREAM_HEADER StreamHeader;
    PKSSTREAM_POINTER_OFFSET Offset;
    KSSTREAM_POINTER_OFFSET OffsetIn;
    KSSTREAM_POINTER_OFFSET OffsetOut;
};

typedef enum {
    KSSTREAM_POINTER_STATE_UNLOCKED = 0,
    KSSTREAM_POINTER_STATE_LOCKED
} KSSTREAM_POINTER_STATE;

// The pin's reference clock (a COM interface).
struct IKsReferenceClock {
    virtual NTSTATUS STDMETHODCALLTYPE QueryInterface(REFGUID iid, PVOID* object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
    virtual LONGLONG STDMETHODCALLTYPE GetTime() = 0;
    virtual LONGLONG STDMETHODCALLTYPE GetPhysicalTime() = 0;
    virtual LONGLONG STDMETHODCALLTYPE GetCorrelatedTime(LONGLONG* system_time) = 0;
    virtual LONGLONG STDMETHODCALLTYPE GetCorrelatedPhysicalTime(LONGLONG* system_time) = 0;

  protected:
    ~IKsReferenceClock() = default;
};
typedef IKsReferenceClock* PIKSREFERENCECLOCK;

#define KSCREATE_ITEM_FREEONSTOP 0x00000008

// ---- Services --------------------------------------------------------------------------------

NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path,
                                  const KSDEVICE_DESCRIPTOR* descriptor);
NTSTATUS NTAPI KsCreateFilterFactory(PDEVICE_OBJECT device_object,
                                     const KSFILTER_DESCRIPTOR* descriptor, PWSTR ref_string,
                                     PSECURITY_DESCRIPTOR security_descriptor,
                                     ULONG create_item_flags, PVOID sleep_callback,
                                     PVOID wake_callback, PKSFILTERFACTORY* filter_factory);
VOID NTAPI KsAcquireDevice(PKSDEVICE device);
VOID NTAPI KsReleaseDevice(PKSDEVICE device);
NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG object_bag, PVOID item, PFNKSFREE free);
// The device of a KSDEVICE, KSFILTER or KSPIN.
PKSDEVICE NTAPI KsGetDevice(PVOID object);
// Replaces *pointer_to_pointer_to_item by a bag-owned copy of new_size bytes (old_size bytes
// copied, the rest zeroed). The old item is freed when the bag owned it.
NTSTATUS NTAPI _KsEdit(KSOBJECT_BAG object_bag, PVOID* pointer_to_pointer_to_item, ULONG new_size,
                       ULONG old_size, ULONG tag);
PKSFILTER NTAPI KsGetFilterFromIrp(PIRP irp);
VOID NTAPI KsPinAttemptProcessing(PKSPIN pin, BOOLEAN asynchronous);
PKSSTREAM_POINTER NTAPI KsPinGetLeadingEdgeStreamPointer(PKSPIN pin, KSSTREAM_POINTER_STATE state);
VOID NTAPI KsStreamPointerUnlock(PKSSTREAM_POINTER stream_pointer, BOOLEAN eject);
NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN pin, PIKSREFERENCECLOCK* interface_out);

}  // extern "C"
