// Filter factories: what a device offers clients to open, registered by the driver at start.
#include "ks_objects.h"
#include "platform/ks_host.h"

namespace platform::ks {

std::vector<FilterFactoryInfo> FilterFactories(PKSDEVICE ks_device) {
    std::vector<FilterFactoryInfo> result;
    internal::Device* device = internal::DeviceOfObject(ks_device);
    if (device == nullptr)
        return result;
    std::lock_guard<std::recursive_mutex> hold(device->lock);
    for (const auto& factory : device->factories) {
        result.push_back({factory->factory.FilterDescriptor, factory->reference_string,
                          factory->create_item_flags});
    }
    return result;
}

namespace internal {

FilterFactory* FindFactory(Device* device, const WCHAR* reference) {
    std::lock_guard<std::recursive_mutex> hold(device->lock);
    for (const auto& factory : device->factories) {
        if (reference == nullptr || factory->reference_string == reference)
            return factory.get();
    }
    return nullptr;
}

}  // namespace internal
}  // namespace platform::ks

NTSTATUS NTAPI KsCreateFilterFactory(PDEVICE_OBJECT device_object,
                                     const KSFILTER_DESCRIPTOR* descriptor, PWSTR ref_string,
                                     PSECURITY_DESCRIPTOR, ULONG create_item_flags, PVOID, PVOID,
                                     PKSFILTERFACTORY* filter_factory) {
    platform::ks::internal::Device* device =
        platform::ks::internal::DeviceOfFunctionalObject(device_object);
    if (device == nullptr || descriptor == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto factory = std::make_unique<platform::ks::internal::FilterFactory>();
    factory->factory.FilterDescriptor = descriptor;
    factory->factory.Bag = &factory->bag;
    factory->reference_string = ref_string != nullptr ? ref_string : u"";
    factory->create_item_flags = create_item_flags;
    if (filter_factory != nullptr)
        *filter_factory = &factory->factory;
    std::lock_guard<std::recursive_mutex> hold(device->lock);
    device->factories.push_back(std::move(factory));
    return STATUS_SUCCESS;
}
