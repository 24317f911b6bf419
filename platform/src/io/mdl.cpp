// MDLs: descriptions of virtual ranges, whole or partial.
#include <string>

#include "io_internal.h"
#include "platform/io.h"
#include "platform/verifier.h"

namespace {

ULONG_PTR PageBase(ULONG_PTR address) {
    return address & ~(ULONG_PTR)(PAGE_SIZE - 1);
}

// Pages spanned by [address, address + length).
ULONG_PTR PagesSpanned(ULONG_PTR address, ULONG length) {
    if (length == 0)
        return 0;
    return (PageBase(address + length - 1) - PageBase(address)) / PAGE_SIZE + 1;
}

// Room for this many page entries after the MDL header, as on the platform.
ULONG_PTR PageCapacity(PMDL mdl) {
    return ((ULONG_PTR)mdl->Size - sizeof(MDL)) / sizeof(ULONG_PTR);
}

void Describe(PMDL mdl, PVOID virtual_address, ULONG length) {
    mdl->StartVa = (PVOID)PageBase((ULONG_PTR)virtual_address);
    mdl->ByteOffset = (ULONG)((ULONG_PTR)virtual_address & (PAGE_SIZE - 1));
    mdl->ByteCount = length;
}

}  // namespace

PMDL NTAPI IoAllocateMdl(PVOID virtual_address, ULONG length, BOOLEAN secondary_buffer,
                         BOOLEAN charge_quota, PIRP irp) {
    UNREFERENCED_PARAMETER(charge_quota);
    ULONG_PTR pages = PagesSpanned((ULONG_PTR)virtual_address, length);
    SIZE_T size = sizeof(MDL) + pages * sizeof(ULONG_PTR);
    if (size > 0x7FFF)
        return nullptr;  // Size is a SHORT, as on the platform
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(
        (POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION), size, platform::io::kMdlTag));
    if (mdl == nullptr)
        return nullptr;
    mdl->Size = (SHORT)size;
    Describe(mdl, virtual_address, length);
    if (irp != nullptr) {
        if (!secondary_buffer) {
            irp->MdlAddress = mdl;
        } else {
            PMDL* link = &irp->MdlAddress;
            while (*link != nullptr)
                link = &(*link)->Next;
            *link = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoBuildPartialMdl(PMDL source_mdl, PMDL target_mdl, PVOID virtual_address,
                             ULONG length) {
    auto source_start = (ULONG_PTR)MmGetMdlVirtualAddress(source_mdl);
    auto address = (ULONG_PTR)virtual_address;
    ULONG_PTR source_end = source_start + source_mdl->ByteCount;
    if (address < source_start || address > source_end) {
        platform::verifier::Violation("IoBuildPartialMdl: address outside the source MDL");
        return;
    }
    ULONG_PTR offset = address - source_start;
    if (length == 0)
        length = (ULONG)(source_mdl->ByteCount - offset);
    if (length > source_end - address) {
        platform::verifier::Violation("IoBuildPartialMdl: range runs past the source MDL");
        return;
    }
    if (PagesSpanned(address, length) > PageCapacity(target_mdl)) {
        platform::verifier::Violation("IoBuildPartialMdl: target MDL too small for the range");
        return;
    }
    Describe(target_mdl, virtual_address, length);
    target_mdl->MdlFlags =
        (SHORT)(MDL_PARTIAL | (source_mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL));
    if (source_mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        target_mdl->MappedSystemVa = (PUCHAR)source_mdl->MappedSystemVa + offset;
        if (source_mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
            target_mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED | MDL_MAPPED_TO_SYSTEM_VA;
        }
    } else {
        target_mdl->MappedSystemVa = nullptr;
    }
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL mdl) {
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID NTAPI IoFreeMdl(PMDL mdl) {
    if (mdl == nullptr)
        return;
    ExFreePoolWithTag(mdl, platform::io::kMdlTag);
}
