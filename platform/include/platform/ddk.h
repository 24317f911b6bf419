// The one header the driver includes: the platform's kernel, I/O, registry, USB and
// kernel-streaming interfaces.
#pragma once

#include "platform/io.h"
#include "platform/kernel.h"
#include "platform/ks.h"
#include "platform/ksmedia.h"
#include "platform/ntdef.h"
#include "platform/registry.h"
#include "platform/usb.h"
