// The capture filter's callbacks: its record, made at Create and owned by the filter's bag.
#pragma once

#include "driver/camera_context.h"

extern const KSFILTER_DISPATCH kFilterDispatch;

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp);
NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP irp);
