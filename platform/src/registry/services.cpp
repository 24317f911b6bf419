// The registry services the driver calls: opening a device's driver key, opening or creating keys
// below it, reading and writing values. Key handles live in the kernel's handle table, so the
// driver closes them with ZwClose.
#include <cstring>
#include <new>
#include <string>

#include "../kernel/handles.h"
#include "platform/verifier.h"
#include "reg_text.h"
#include "store.h"

namespace {

using platform::registry::internal::CountCall;
using platform::registry::internal::FindKey;
using platform::registry::internal::KeyExists;
using platform::registry::internal::KeyObject;
using platform::registry::internal::RegKey;
using platform::registry::internal::RegValue;
using platform::registry::internal::SameName;
using platform::registry::internal::Store;
using platform::registry::internal::TheStore;

// Key objects come from the tracked pool, so that a handle never closed also shows as a leak.
constexpr ULONG kKeyObjectTag = 'yKgR';  // "RgKy" in memory order
constexpr NTSTATUS kStatusChildMustBeVolatile = (NTSTATUS)0xC0000181L;
constexpr ULONG kPartialHeaderSize = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

void CheckPassive(const char* operation) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        platform::verifier::Violation(std::string(operation) + " at IRQL " + std::to_string(irql));
    }
}

// A counted string's text; false when the string is malformed.
bool NameOf(PCUNICODE_STRING name, std::string* text) {
    if (name == nullptr || name->Length % sizeof(WCHAR) != 0 ||
        (name->Length > 0 && name->Buffer == nullptr) || name->Length > name->MaximumLength) {
        return false;
    }
    *text = platform::Utf16ToUtf8(std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR)));
    return true;
}

void CloseKey(void* object) {
    auto* key = static_cast<KeyObject*>(object);
    {
        Store& store = TheStore();
        std::lock_guard<std::mutex> guard(store.mutex);
        std::erase_if(store.open, [&](const auto& entry) { return entry.second == key; });
    }
    key->~KeyObject();
    ExFreePoolWithTag(key, kKeyObjectTag);
}

KeyObject* KeyOfHandle(HANDLE handle) {
    return static_cast<KeyObject*>(platform::kernel::ObjectFromHandle(handle, CloseKey));
}

// The generic rights as a key understands them.
ACCESS_MASK KeyAccess(ACCESS_MASK desired) {
    ACCESS_MASK access = desired;
    if (desired & GENERIC_READ)
        access |= KEY_READ;
    if (desired & GENERIC_WRITE)
        access |= KEY_WRITE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED))
        access |= KEY_ALL_ACCESS;
    return access;
}

// A new handle for the key at `path`. The caller holds the store's mutex.
NTSTATUS OpenHandle(Store& store, const std::string& path, PDEVICE_OBJECT owner, ACCESS_MASK access,
                    PHANDLE handle) {
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KeyObject), kKeyObjectTag);
    if (memory == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* key = new (memory) KeyObject{path, owner, KeyAccess(access)};
    *handle = platform::kernel::InsertHandle(key, CloseKey);
    store.open[*handle] = key;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT device_object, ULONG dev_inst_key_type,
                                       ACCESS_MASK desired_access, PHANDLE device_reg_key) {
    CheckPassive("IoOpenDeviceRegistryKey");
    if (device_reg_key == nullptr)
        return STATUS_INVALID_PARAMETER;
    *device_reg_key = nullptr;
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.mutex);
    NTSTATUS status = CountCall(store);
    if (!NT_SUCCESS(status))
        return status;
    if (store.driver_key_fault != STATUS_SUCCESS)
        return store.driver_key_fault;
    // Only the software key is kept; hardware keys and profiles are not.
    if (dev_inst_key_type != PLUGPLAY_REGKEY_DRIVER)
        return STATUS_INVALID_PARAMETER;
    const int instance = platform::registry::internal::InstanceOf(store, device_object);
    if (instance < 0)
        return STATUS_INVALID_PARAMETER;
    if (!store.load_error.empty())
        return STATUS_REGISTRY_CORRUPT;
    return OpenHandle(store, platform::registry::DriverKeyPath((unsigned)instance), device_object,
                      desired_access, device_reg_key);
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE key_handle, ACCESS_MASK desired_access,
                           POBJECT_ATTRIBUTES object_attributes, ULONG title_index,
                           PUNICODE_STRING key_class, ULONG create_options, PULONG disposition) {
    UNREFERENCED_PARAMETER(title_index);
    UNREFERENCED_PARAMETER(key_class);
    CheckPassive("ZwCreateKey");
    if (key_handle == nullptr || object_attributes == nullptr ||
        object_attributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        return STATUS_INVALID_PARAMETER;
    }
    *key_handle = nullptr;
    std::string name;
    if (!NameOf(object_attributes->ObjectName, &name))
        return STATUS_OBJECT_NAME_INVALID;
    // There is no object namespace here: keys are reached from a key handle, as a driver does.
    if (object_attributes->RootDirectory == nullptr || (!name.empty() && name[0] == '\\'))
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    KeyObject* root = KeyOfHandle(object_attributes->RootDirectory);
    if (root == nullptr)
        return STATUS_INVALID_HANDLE;

    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.mutex);
    NTSTATUS status = CountCall(store);
    if (!NT_SUCCESS(status))
        return status;
    if (!name.empty() && (name.back() == '\\' || name.find("\\\\") != std::string::npos))
        return STATUS_OBJECT_NAME_INVALID;
    const std::string full = name.empty() ? root->path : root->path + "\\" + name;
    // Every part of the name but the last must exist already; the last is opened or created.
    const size_t last = full.rfind('\\');
    const std::string parent_path = full.substr(0, last);
    if (!KeyExists(store, parent_path))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    const bool existed = KeyExists(store, full);
    if (!existed) {
        const bool make_volatile = (create_options & REG_OPTION_VOLATILE) != 0;
        if (FindKey(store.keys, parent_path)->is_volatile && !make_volatile)
            return kStatusChildMustBeVolatile;
        std::vector<RegKey> next = store.keys;
        next.push_back(RegKey{full, {}, make_volatile});
        if (make_volatile) {
            store.keys = std::move(next);
        } else {
            status = platform::registry::internal::Commit(store, std::move(next));
            if (!NT_SUCCESS(status))
                return status;
        }
    }
    status = OpenHandle(store, full, root->owner, desired_access, key_handle);
    if (NT_SUCCESS(status) && disposition != nullptr)
        *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    return status;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE key_handle, PUNICODE_STRING value_name,
                               KEY_VALUE_INFORMATION_CLASS information_class, PVOID information,
                               ULONG length, PULONG result_length) {
    CheckPassive("ZwQueryValueKey");
    KeyObject* key = KeyOfHandle(key_handle);
    if (key == nullptr)
        return STATUS_INVALID_HANDLE;
    std::string name;
    if (!NameOf(value_name, &name) || result_length == nullptr)
        return STATUS_INVALID_PARAMETER;
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.mutex);
    NTSTATUS status = CountCall(store);
    if (!NT_SUCCESS(status))
        return status;
    if ((key->access & KEY_QUERY_VALUE) == 0)
        return STATUS_ACCESS_DENIED;
    if (store.query_fault != STATUS_SUCCESS &&
        (store.query_fault_name.empty() || SameName(store.query_fault_name, name))) {
        return store.query_fault;
    }
    // The driver asks for the partial record only; the other records are not served.
    if (information_class != KeyValuePartialInformation)
        return STATUS_NOT_IMPLEMENTED;
    RegKey* stored = FindKey(store.keys, key->path);
    const RegValue* value = nullptr;
    if (stored != nullptr) {
        for (const auto& [value_name_stored, stored_value] : stored->values) {
            if (SameName(value_name_stored, name))
                value = &stored_value;
        }
    }
    if (value == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    const ULONG needed = kPartialHeaderSize + (ULONG)value->data.size();
    *result_length = needed;
    if (length < kPartialHeaderSize)
        return STATUS_BUFFER_TOO_SMALL;
    if (information == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto* partial = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(information);
    partial->TitleIndex = 0;
    partial->Type = value->type;
    partial->DataLength = (ULONG)value->data.size();
    if (length < needed)
        return STATUS_BUFFER_OVERFLOW;
    if (!value->data.empty())
        std::memcpy(partial->Data, value->data.data(), value->data.size());
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE key_handle, PUNICODE_STRING value_name, ULONG title_index,
                             ULONG type, PVOID data, ULONG data_size) {
    UNREFERENCED_PARAMETER(title_index);
    CheckPassive("ZwSetValueKey");
    KeyObject* key = KeyOfHandle(key_handle);
    if (key == nullptr)
        return STATUS_INVALID_HANDLE;
    std::string name;
    if (!NameOf(value_name, &name) || (data == nullptr && data_size > 0))
        return STATUS_INVALID_PARAMETER;
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.mutex);
    NTSTATUS status = CountCall(store);
    if (!NT_SUCCESS(status))
        return status;
    if ((key->access & KEY_SET_VALUE) == 0)
        return STATUS_ACCESS_DENIED;
    std::vector<RegKey> next = store.keys;
    RegKey* stored = FindKey(next, key->path);
    if (stored == nullptr)
        return STATUS_INVALID_HANDLE;
    const auto* bytes = static_cast<const uint8_t*>(data);
    RegValue value{type, std::vector<uint8_t>(bytes, bytes + data_size)};
    bool replaced = false;
    for (auto& [stored_name, stored_value] : stored->values) {
        if (SameName(stored_name, name)) {
            stored_value = value;
            replaced = true;
        }
    }
    if (!replaced)
        stored->values.emplace_back(name, value);
    if (stored->is_volatile) {
        store.keys = std::move(next);
        return STATUS_SUCCESS;
    }
    return platform::registry::internal::Commit(store, std::move(next));
}
