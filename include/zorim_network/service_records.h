// Host records taken by the service-family exports that this plug-in answers
// with fixed results (see service_exports.h).
//
// The plug-in never reads a member of either record: it only receives them by
// value and releases them. Their layout is still part of the host interface,
// because a host passes them as raw bytes; the assertions at the end of this
// file pin every offset and size. Never reorder, resize or insert members.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "zorim_network/layout_checks.h"

namespace zorim {

// A print job that a host hands to the service-family print exports. Besides
// its 24 texts the record has four 8-byte places for non-text values (at 192,
// 488, 656 and 728); the types given to them here are only names for those
// bytes, since nothing in the plug-in reads them.
struct PrintRequest {
    std::string device_id;
    std::string device_name;
    std::string device_address;
    std::string job_name;
    std::string project_name;
    std::string preset_name;
    // 8-byte place at 192: an int32 followed by 4 bytes of natural padding.
    std::int32_t plate_index = 0;
    std::string file_path;
    std::string config_path;
    std::string remote_folder;
    std::string remote_file;
    std::string remote_file_checksum;
    std::string material_mapping;
    std::string material_mapping_detail;
    std::string connection_kind;
    std::string comments;
    // 8-byte place at 488: a flag followed by 7 bytes of natural padding.
    bool secure_transfer = false;
    std::string source_profile_id;
    std::string source_design_id;
    std::string source_model_id;
    std::string print_kind;
    std::string destination_file;
    // 8-byte place at 656: host option bits.
    std::uint64_t option_flags = 0;
    std::string account_name;
    std::string access_code;
    // 8-byte place at 728: nozzle diameter in mm.
    double nozzle_diameter = 0.0;
    std::string extra_options;
    std::string notes;
};

// A model that a host hands to the service-family publish export.
struct PublishRequest {
    std::string title;
    std::string description;
    std::string project_file;
    std::string thumbnail_file;
    std::string design_id;
    std::string config_file;
};

}  // namespace zorim

// ---------------------------------------------------------------------------
// Layout of the host interface (layout_checks.h says why).
ZORIM_LAYOUT_CHECKS_BEGIN

static_assert(sizeof(zorim::PrintRequest) == 800, "PrintRequest is 800 bytes");
static_assert(alignof(zorim::PrintRequest) == 8, "PrintRequest is 8-byte aligned");
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, device_id, 0);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, device_name, 32);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, device_address, 64);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, job_name, 96);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, project_name, 128);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, preset_name, 160);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, plate_index, 192);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, file_path, 200);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, config_path, 232);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, remote_folder, 264);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, remote_file, 296);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, remote_file_checksum, 328);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, material_mapping, 360);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, material_mapping_detail, 392);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, connection_kind, 424);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, comments, 456);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, secure_transfer, 488);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, source_profile_id, 496);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, source_design_id, 528);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, source_model_id, 560);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, print_kind, 592);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, destination_file, 624);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, option_flags, 656);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, account_name, 664);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, access_code, 696);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, nozzle_diameter, 728);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, extra_options, 736);
ZORIM_ASSERT_OFFSET(zorim::PrintRequest, notes, 768);

static_assert(sizeof(zorim::PublishRequest) == 192, "PublishRequest is 192 bytes");
ZORIM_ASSERT_OFFSET(zorim::PublishRequest, title, 0);
ZORIM_ASSERT_OFFSET(zorim::PublishRequest, description, 32);
ZORIM_ASSERT_OFFSET(zorim::PublishRequest, project_file, 64);
ZORIM_ASSERT_OFFSET(zorim::PublishRequest, thumbnail_file, 96);
ZORIM_ASSERT_OFFSET(zorim::PublishRequest, design_id, 128);
ZORIM_ASSERT_OFFSET(zorim::PublishRequest, config_file, 160);

ZORIM_LAYOUT_CHECKS_END
