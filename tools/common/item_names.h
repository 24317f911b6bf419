// The camera's property items as users name them: lookup in any case, the nearest names to a
// misspelt one, and which items read and write as one NAME=VALUE.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "camdrv/camera_properties.h"

namespace camtools {

// The item named `name`, compared without regard to case; null when there is none.
const camdrv::CameraItemInfo* FindItem(std::string_view name);

// Items a get or a set serves with one value in a CameraPropertyValue. The register write is a
// pair (its own command) and its get always fails; the other service items take records of their
// own.
bool ReadsAsValue(const camdrv::CameraItemInfo& item);
bool WritesAsValue(const camdrv::CameraItemInfo& item);
// Items that read the camera's state as one value: not a fixed report, not a service item.
bool ReportsState(const camdrv::CameraItemInfo& item);
// The camera's settings: the state items a set also writes.
bool IsSetting(const camdrv::CameraItemInfo& item);
std::vector<const camdrv::CameraItemInfo*> SettingItems();

// Settings that are on or off: 0 off, any other value on.
bool IsSwitch(const camdrv::CameraItemInfo& item);
// Items a set reaches that change nothing on this camera.
bool ChangesNothing(const camdrv::CameraItemInfo& item);
// Why the driver kept `kept` when a set asked for `asked`: "asked 99999; range 0..510", "kept:
// takes values above 500"; empty when it kept what was asked.
std::string SetNote(const camdrv::CameraItemInfo& item, LONG asked, LONG kept);

// Why `name` cannot be read (for_set false) or written (for_set true) as NAME=VALUE, naming the
// nearest names or the command that serves the item; empty when it can. *item gets the item.
std::string CheckItemName(std::string_view name, bool for_set,
                          const camdrv::CameraItemInfo** item = nullptr);

// The `count` item names nearest to `name` (edit distance, ignoring case), nearest first.
std::vector<std::string> NearestItemNames(std::string_view name, size_t count = 3);

}  // namespace camtools
