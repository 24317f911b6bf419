// Registry services: the keys of a device, keys below them and their values. Every call runs at
// PASSIVE_LEVEL; every handle they return is closed with ZwClose.
#pragma once

#include "platform/io.h"

extern "C" {

// IoOpenDeviceRegistryKey key types.
#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

#define STANDARD_RIGHTS_READ 0x00020000L
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WRITE 0x00020006L

// ZwCreateKey options and dispositions.
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

// Value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);

// Opens the device's software key (PLUGPLAY_REGKEY_DRIVER) for the physical device object. Other
// key types, and an object that is not a device's physical device object, give
// STATUS_INVALID_PARAMETER.
NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT device_object, ULONG dev_inst_key_type,
                                       ACCESS_MASK desired_access, PHANDLE device_reg_key);

// Opens the key named relative to object_attributes->RootDirectory, or creates it when its parent
// exists; *disposition (when given) says which.
NTSTATUS NTAPI ZwCreateKey(PHANDLE key_handle, ACCESS_MASK desired_access,
                           POBJECT_ATTRIBUTES object_attributes, ULONG title_index,
                           PUNICODE_STRING key_class, ULONG create_options, PULONG disposition);

// KeyValuePartialInformation: a missing value is STATUS_OBJECT_NAME_NOT_FOUND; a buffer below the
// fixed part STATUS_BUFFER_TOO_SMALL (nothing written); one that holds the fixed part but not the
// data STATUS_BUFFER_OVERFLOW (the fixed part written). *result_length is always the size needed.
NTSTATUS NTAPI ZwQueryValueKey(HANDLE key_handle, PUNICODE_STRING value_name,
                               KEY_VALUE_INFORMATION_CLASS information_class, PVOID information,
                               ULONG length, PULONG result_length);

NTSTATUS NTAPI ZwSetValueKey(HANDLE key_handle, PUNICODE_STRING value_name, ULONG title_index,
                             ULONG type, PVOID data, ULONG data_size);

}  // extern "C"
