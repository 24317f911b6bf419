#include "tools/camctl/serve/controls_api.h"

#include <climits>

#include "tools/common/item_names.h"

namespace camctl::serve {

namespace {

using camdrv::CameraItemInfo;
using nlohmann::json;

const char* KindOf(const CameraItemInfo& item) {
    if (item.fixed)
        return "fixed";
    if (camtools::IsSwitch(item))
        return "switch";
    if (camdrv::RangeItemsOf(item.id) != nullptr)
        return "range";
    return "number";
}

}  // namespace

json ErrorJson(const std::string& message) {
    return json{{"error", message}};
}

json ControlDesk::ControlLocked(const CameraItemInfo& item) {
    json control = {
        {"id", (ULONG)item.id},
        {"name", item.name},
        {"kind", KindOf(item)},
        {"readable", true},
        {"writable", camtools::WritesAsValue(item)},
        {"setting", camtools::IsSetting(item)},
        {"min", nullptr},
        {"max", nullptr},
        {"default", nullptr},
    };
    if (const camdrv::RangeItems* range = camdrv::RangeItemsOf(item.id)) {
        control["min"] = camdrv::ItemInfo(range->min).fixed_value;
        control["max"] = camdrv::ItemInfo(range->max).fixed_value;
        control["default"] = camdrv::ItemInfo(range->default_value).fixed_value;
    } else if (camtools::IsSwitch(item)) {
        control["min"] = 0;
        control["max"] = 1;
    }
    LONG value = 0;
    const NTSTATUS status = filter_->Get(item.id, &value);
    if (NT_SUCCESS(status)) {
        control["value"] = value;
    } else {
        control["value"] = nullptr;
        control["error"] = camtools::PropertyFailure(item.id, false, status);
    }
    if (camtools::ChangesNothing(item))
        control["note"] = "changes nothing on this camera";
    return control;
}

json ControlDesk::Controls() {
    std::lock_guard<std::mutex> guard(mutex_);
    json controls = json::array();
    for (const CameraItemInfo& item : camdrv::kCameraItems) {
        if (camtools::ReadsAsValue(item))
            controls.push_back(ControlLocked(item));
    }
    return controls;
}

Answer ControlDesk::Put(const std::string& name, const std::string& body) {
    const CameraItemInfo* item = camtools::FindItem(name);
    if (item == nullptr || !camtools::ReadsAsValue(*item)) {
        std::string nearest;
        for (const std::string& near : camtools::NearestItemNames(name))
            nearest += (nearest.empty() ? "" : ", ") + near;
        return {404, ErrorJson("'" + name + "' is not a control; nearest: " + nearest)};
    }
    if (!camtools::WritesAsValue(*item))
        return {403, ErrorJson(std::string(item->name) + " is read-only")};
    const json request = json::parse(body, nullptr, false);
    if (request.is_discarded() || !request.is_object())
        return {400, ErrorJson("the body must be a JSON object such as {\"value\": 300}")};
    const auto value = request.find("value");
    if (value == request.end() || !value->is_number_integer())
        return {400, ErrorJson("\"value\" must be an integer")};
    if (*value < INT32_MIN || *value > INT32_MAX)
        return {400, ErrorJson("\"value\" must fit in 32 bits")};
    const LONG asked = value->get<LONG>();
    std::lock_guard<std::mutex> guard(mutex_);
    const NTSTATUS status = filter_->Set(item->id, asked);
    if (!NT_SUCCESS(status))
        return {502, ErrorJson(camtools::PropertyFailure(item->id, true, status))};
    json control = ControlLocked(*item);
    control["asked"] = asked;
    if (control["value"].is_number_integer()) {
        const std::string note = camtools::SetNote(*item, asked, control["value"].get<LONG>());
        if (!note.empty())
            control["note"] = note;
    }
    return {200, control};
}

NTSTATUS ControlDesk::Get(camdrv::CameraItem item, LONG* value) {
    std::lock_guard<std::mutex> guard(mutex_);
    return filter_->Get(item, value);
}

json StatsJson(const CaptureSummary& summary, const EncoderFigures& encoder,
               const std::string& camera_problem) {
    json stats = json::object();
    for (const Figure& figure : summary.Figures()) {
        if (figure.number && figure.text.find('.') == std::string::npos)
            stats[figure.name] = (int64_t)*figure.number;
        else if (figure.number)
            stats[figure.name] = *figure.number;
        else
            stats[figure.name] = figure.text == "none" ? json(nullptr) : json(figure.text);
    }
    stats["camera"] = camera_problem.empty() ? "running" : "stopped";
    stats["camera_problem"] = camera_problem;
    stats["viewers"] = encoder.viewers;
    stats["jpeg_pictures"] = encoder.pictures;
    stats["jpeg_ms_per_picture"] =
        encoder.pictures != 0 ? (double)encoder.encode_ns * 1e-6 / (double)encoder.pictures : 0.0;
    return stats;
}

}  // namespace camctl::serve
