// The kernel handle table, for other parts of the stand-in (the registry store, say) that hand out
// handles of their own objects which the driver closes with ZwClose.
#pragma once

#include "platform/ntdef.h"

namespace platform::kernel {

// Called by ZwClose, outside the table's lock, with the object the handle named.
using HandleCloser = void (*)(void* object);

// A new kernel handle naming `object`; `close` identifies the kind of object as well.
HANDLE InsertHandle(void* object, HandleCloser close);
// The object of a handle of the kind `close`, or null when the handle is not open or of another
// kind.
void* ObjectFromHandle(HANDLE handle, HandleCloser close);

}  // namespace platform::kernel
