#include "files/print_history.h"

#include <string_view>

#include <nlohmann/json.hpp>

#include "status/json_members.h"
#include "status/reading_rules.h"

namespace zorim {
namespace {

using nlohmann::json;

struct JobField {
    const char* key;
    double* (*number)(PrintJobRecord&);
    std::string* (*text)(PrintJobRecord&);
    bool* (*flag)(PrintJobRecord&);
};

#define NUMBER(key, member) JobField{key, [](PrintJobRecord& r) { return &r.member; }, nullptr, nullptr}
#define TEXT(key, member) JobField{key, nullptr, [](PrintJobRecord& r) { return &r.member; }, nullptr}
#define FLAG(key, member) JobField{key, nullptr, nullptr, [](PrintJobRecord& r) { return &r.member; }}

// Read in this order; integers such as "size" are held as doubles.
const JobField kJobFields[] = {
    NUMBER("end_time", end_time),
    NUMBER("start_time", start_time),
    NUMBER("filament_used", filament_used),
    NUMBER("print_duration", print_duration),
    NUMBER("total_duration", total_duration),
    TEXT("status", status),
    FLAG("exists", exists),
    TEXT("job_id", job_id),
    TEXT("filename", filename),
};

const JobField kMetadataFields[] = {
    TEXT("filament_name", filament_name),
    TEXT("filament_type", filament_type),
    TEXT("uuid", uuid),
    TEXT("slicer", slicer),
    TEXT("slicer_version", slicer_version),
    NUMBER("estimated_time", estimated_time),
    NUMBER("filament_total", filament_total),
    NUMBER("filament_weight_total", filament_weight_total),
    NUMBER("modified", modified),
    NUMBER("size", size),
    NUMBER("first_layer_bed_temp", first_layer_bed_temp),
    NUMBER("first_layer_extr_temp", first_layer_extr_temp),
    NUMBER("first_layer_height", first_layer_height),
    NUMBER("layer_height", layer_height),
    NUMBER("metadata_height", metadata_height),
    NUMBER("gcode_start_byte", gcode_start_byte),
    NUMBER("gcode_end_byte", gcode_end_byte),
    NUMBER("nozzle_diameter", nozzle_diameter),
};

// Mainline Moonraker's metadata calls the object's height "object_height";
// it is read only when the metadata has no "metadata_height".
const JobField kObjectHeightFields[] = {
    NUMBER("object_height", metadata_height),
};

#undef NUMBER
#undef TEXT
#undef FLAG

template <std::size_t N>
void apply_fields(PrintJobRecord& record, const json& object, const JobField (&fields)[N], std::string_view where,
                  std::vector<std::string>& problems) {
    for (const JobField& field : fields) {
        if (!has_non_null(object, field.key)) continue;
        const json& value = object[field.key];
        try {
            if (field.number) *field.number(record) = read_number(value);
            if (field.text) *field.text(record) = read_text(value);
            if (field.flag) *field.flag(record) = read_flag(value);
        } catch (const ReadingError& e) {
            problems.push_back(std::string(where) + field.key + ": " + e.what());
        }
    }
}

// Back to a new record's values: what a job of another file must not inherit.
void clear_file_members(PrintJobRecord& record) {
    for (const JobField& field : kMetadataFields) {
        if (field.number) *field.number(record) = 0.0;
        if (field.text) field.text(record)->clear();
    }
    record.thumbnail_path.clear();
    record.filename.clear();
}

bool is_another_job(const PrintJobRecord& record, const json& job) {
    const auto id = job.find("job_id");
    return id != job.end() && id->is_string() && id->get_ref<const std::string&>() != record.job_id;
}

}  // namespace

bool apply_job_fields(PrintJobRecord& record, const json& job, std::vector<std::string>& problems) {
    if (!job.is_object()) return false;
    if (is_another_job(record, job)) clear_file_members(record);
    apply_fields(record, job, kJobFields, "job/", problems);
    if (!has_non_null(job, "metadata")) return true;
    const json& metadata = job["metadata"];
    if (!metadata.is_object()) return true;
    apply_fields(record, metadata, kMetadataFields, "job/metadata/", problems);
    if (!has_non_null(metadata, "metadata_height")) {
        apply_fields(record, metadata, kObjectHeightFields, "job/metadata/", problems);
    }

    // Only the last thumbnail counts (the largest, as the printer lists them).
    auto thumbnails = metadata.find("thumbnails");
    if (thumbnails == metadata.end() || !thumbnails->is_array() || thumbnails->empty()) return true;
    const json& last = thumbnails->back();
    if (!has_non_null(last, "relative_path")) return true;
    try {
        record.thumbnail_path = read_text(last["relative_path"]);
    } catch (const ReadingError& e) {
        problems.push_back(std::string("job/metadata/thumbnails/relative_path: ") + e.what());
    }
    return true;
}

}  // namespace zorim
