// The service-family exports that this plug-in answers with fixed results.
//
// The host's interface includes account, cloud, model-store, binding,
// print-job, subscription and tracking functions of a service that this
// plug-in does not offer. Each one exists under its exact name (misspellings
// included: hosts resolve them by name), takes the host's arguments by value,
// releases them and returns a fixed result. None of them reads an argument,
// takes a lock, logs, or calls a callback it receives, so they may be called
// from any thread, before the first agent exists and after the last is gone.
//
// All of them come from the one table below, ZORIM_INERT_EXPORTS. A row is
//     X(name, result, (parameter kinds, in order))
// and every row that shares a kind is expanded by the same macro, here into
// declarations and in the plug-in into definitions.
//
// Parameter kinds and the C++ types they become:
//   word             first position: void*, where the working exports take the
//                    agent; any value, null included, is accepted. Later
//                    positions: std::intptr_t, a pointer-sized integer slot
//                    that holds whatever integer, flag or pointer a host puts
//                    there. Neither is ever read.
//   string           std::string by value.
//   callback         zorim::ServiceCallback by value; never called.
//   list             std::vector<std::string> by value.
//   map              std::map<std::string, std::string> by value.
//   print_request    zorim::PrintRequest by value (service_records.h).
//   publish_request  zorim::PublishRequest by value (service_records.h).
//   none             no parameters: whatever a host passes is ignored.
// Results:
//   i32_zero    std::int32_t 0
//   bool_false  bool false
//   bool_true   bool true
//   nothing     void
//   empty_text  const char* to "" in static storage, the same pointer at every
//               call of that export.
//
// The kind names are lower case on purpose: upper-case names such as CALLBACK
// and VOID are macros in the Windows headers, which a host may include first.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "zorim_network/export.h"
#include "zorim_network/service_records.h"

namespace zorim {

// The one type given to every callback of the service family. The plug-in
// only releases these objects and never calls them, so a host whose callback
// takes other arguments wraps it in one of these.
using ServiceCallback = std::function<void(std::string)>;

}  // namespace zorim

// clang-format off
#define ZORIM_INERT_EXPORTS(X) \
    X(zorim_network_add_subscribe, i32_zero, (word, list)) \
    X(zorim_network_bind, i32_zero, (word, string, string, string, string, word, callback)) \
    X(zorim_network_build_login_cmd, empty_text, (none)) \
    X(zorim_network_build_login_info, empty_text, (none)) \
    X(zorim_network_build_logout_cmd, empty_text, (none)) \
    X(zorim_network_change_user, i32_zero, (word, string)) \
    X(zorim_network_check_debug_consistent, bool_true, (none)) \
    X(zorim_network_check_user_task_report, i32_zero, (none)) \
    X(zorim_network_connect_server, i32_zero, (none)) \
    X(zorim_network_del_subscribe, i32_zero, (word, list)) \
    X(zorim_network_delete_setting, i32_zero, (word, string)) \
    X(zorim_network_enable_multi_machine, nothing, (none)) \
    X(zorim_network_get_camera_url, i32_zero, (word, string, callback)) \
    X(zorim_network_get_design_staffpick, i32_zero, (word, word, word, callback)) \
    X(zorim_network_get_model_id_from_desgin_id, i32_zero, (none)) \
    X(zorim_network_get_model_mall_detail_url, i32_zero, (word, word, string)) \
    X(zorim_network_get_model_mall_home_url, i32_zero, (none)) \
    X(zorim_network_get_model_mall_rating_result, i32_zero, (none)) \
    X(zorim_network_get_model_publish_url, i32_zero, (none)) \
    X(zorim_network_get_vx_user_4ulist, i32_zero, (word, word, word, callback)) \
    X(zorim_network_get_vx_user_preference, i32_zero, (word, callback)) \
    X(zorim_network_get_my_message, i32_zero, (none)) \
    X(zorim_network_get_my_profile, i32_zero, (word, string)) \
    X(zorim_network_get_oss_config, i32_zero, (word, word, string)) \
    X(zorim_network_get_printer_firmware, i32_zero, (word, string)) \
    X(zorim_network_get_setting_list, i32_zero, (word, string, callback, callback)) \
    X(zorim_network_get_setting_list2, i32_zero, (word, string, callback, callback, callback)) \
    X(zorim_network_get_slice_info, i32_zero, (word, string, string)) \
    X(zorim_network_get_studio_info_url, empty_text, (none)) \
    X(zorim_network_get_subtask_info, i32_zero, (word, string)) \
    X(zorim_network_get_task_plate_index, i32_zero, (word, string)) \
    X(zorim_network_get_user_avatar, empty_text, (none)) \
    X(zorim_network_get_user_id, empty_text, (none)) \
    X(zorim_network_get_user_info, i32_zero, (none)) \
    X(zorim_network_get_user_name, empty_text, (none)) \
    X(zorim_network_get_user_nickanme, empty_text, (none)) \
    X(zorim_network_get_user_presets, i32_zero, (none)) \
    X(zorim_network_get_user_print_info, i32_zero, (none)) \
    X(zorim_network_get_user_selected_machine, empty_text, (none)) \
    X(zorim_network_get_user_tasks, i32_zero, (word, string)) \
    X(zorim_network_init_log, i32_zero, (none)) \
    X(zorim_network_is_server_connected, bool_false, (none)) \
    X(zorim_network_is_user_login, bool_false, (none)) \
    X(zorim_network_modify_printer_name, i32_zero, (word, string, string)) \
    X(zorim_network_ping_bind, i32_zero, (word, string)) \
    X(zorim_network_put_model_mall_rating_url, i32_zero, (word, word, word, string, list)) \
    X(zorim_network_put_rating_picture_oss, i32_zero, (word, word, word, string)) \
    X(zorim_network_put_setting, i32_zero, (word, string, string)) \
    X(zorim_network_query_bind_status, i32_zero, (word, list)) \
    X(zorim_network_refresh_connection, i32_zero, (none)) \
    X(zorim_network_request_bind_ticket, i32_zero, (none)) \
    X(zorim_network_request_setting_id, empty_text, (word, string)) \
    X(zorim_network_send_message, i32_zero, (word, string, string)) \
    X(zorim_network_set_cert_file, i32_zero, (word, string, string)) \
    X(zorim_network_set_config_dir, i32_zero, (word, string)) \
    X(zorim_network_set_country_code, i32_zero, (word, string)) \
    X(zorim_network_set_extra_http_header, i32_zero, (word, map)) \
    X(zorim_network_set_get_country_code_fn, i32_zero, (word, callback)) \
    X(zorim_network_set_on_http_error_fn, i32_zero, (word, callback)) \
    X(zorim_network_set_on_local_connect_fn, i32_zero, (word, callback)) \
    X(zorim_network_set_on_local_message_fn, i32_zero, (word, callback)) \
    X(zorim_network_set_on_message_fn, i32_zero, (word, callback)) \
    X(zorim_network_set_on_printer_connected_fn, i32_zero, (word, callback)) \
    X(zorim_network_set_on_server_connected_fn, i32_zero, (word, callback)) \
    X(zorim_network_set_on_ssdp_msg_fn, i32_zero, (word, callback)) \
    X(zorim_network_set_on_subscribe_failure_fn, i32_zero, (word, callback)) \
    X(zorim_network_set_on_user_login_fn, i32_zero, (word, callback)) \
    X(zorim_network_set_on_user_message_fn, i32_zero, (word, callback)) \
    X(zorim_network_set_queue_on_main_fn, i32_zero, (word, callback)) \
    X(zorim_network_set_user_selected_machine, i32_zero, (word, string)) \
    X(zorim_network_start_device_subscribe, i32_zero, (none)) \
    X(zorim_network_start_discovery, bool_false, (none)) \
    X(zorim_network_start_local_print, i32_zero, (word, print_request, callback, callback)) \
    X(zorim_network_start_local_print_with_record, i32_zero, (word, print_request, callback, callback, callback)) \
    X(zorim_network_start_print, i32_zero, (word, print_request, callback, callback, callback)) \
    X(zorim_network_start_pubilsh, i32_zero, (word, publish_request, callback, callback)) \
    X(zorim_network_start_sdcard_print, i32_zero, (word, print_request, callback, callback)) \
    X(zorim_network_start_send_gcode_to_sdcard, i32_zero, (word, print_request, callback, callback, callback)) \
    X(zorim_network_start_subscribe, i32_zero, (word, string)) \
    X(zorim_network_stop_device_subscribe, i32_zero, (none)) \
    X(zorim_network_stop_subscribe, i32_zero, (word, string)) \
    X(zorim_network_track_event, i32_zero, (word, string, string)) \
    X(zorim_network_track_get_property, i32_zero, (word, string, word, string)) \
    X(zorim_network_track_header, i32_zero, (word, string)) \
    X(zorim_network_track_remove_files, i32_zero, (none)) \
    X(zorim_network_track_update_property, i32_zero, (word, string, string, string)) \
    X(zorim_network_unbind, i32_zero, (word, string)) \
    X(zorim_network_user_logout, i32_zero, (none))

// clang-format on

// Types of the parameter kinds; the first position has its own set because a
// leading word is where the working exports take the agent.
#define ZORIM_INERT_LEAD_TYPE_none
#define ZORIM_INERT_LEAD_TYPE_word void*
#define ZORIM_INERT_TYPE_word std::intptr_t
#define ZORIM_INERT_TYPE_string std::string
#define ZORIM_INERT_TYPE_callback zorim::ServiceCallback
#define ZORIM_INERT_TYPE_list std::vector<std::string>
#define ZORIM_INERT_TYPE_map std::map<std::string, std::string>
#define ZORIM_INERT_TYPE_print_request zorim::PrintRequest
#define ZORIM_INERT_TYPE_publish_request zorim::PublishRequest

#define ZORIM_INERT_RESULT_TYPE_i32_zero std::int32_t
#define ZORIM_INERT_RESULT_TYPE_bool_false bool
#define ZORIM_INERT_RESULT_TYPE_bool_true bool
#define ZORIM_INERT_RESULT_TYPE_nothing void
#define ZORIM_INERT_RESULT_TYPE_empty_text const char*

// ZORIM_INERT_MAP_KINDS(lead, next, (k1, k2, ...)) gives lead##k1, next##k2, ...
// so that a row's kinds become parameter types here, or argument expressions
// in a caller such as a test. A row has at most seven parameters.
#define ZORIM_INERT_MAP_KINDS(lead, next, kinds) ZORIM_INERT_EACH(lead, next, ZORIM_INERT_UNWRAP kinds)
#define ZORIM_INERT_UNWRAP(...) __VA_ARGS__
#define ZORIM_INERT_EACH(lead, next, ...) \
    ZORIM_INERT_CAT(ZORIM_INERT_EACH_, ZORIM_INERT_COUNT(__VA_ARGS__))(lead, next, __VA_ARGS__)
#define ZORIM_INERT_COUNT(...) ZORIM_INERT_COUNT_I(__VA_ARGS__, 7, 6, 5, 4, 3, 2, 1, )
#define ZORIM_INERT_COUNT_I(k1, k2, k3, k4, k5, k6, k7, count, ...) count
#define ZORIM_INERT_CAT(a, b) ZORIM_INERT_CAT_I(a, b)
#define ZORIM_INERT_CAT_I(a, b) a##b
#define ZORIM_INERT_EACH_1(l, n, k1) l##k1
#define ZORIM_INERT_EACH_2(l, n, k1, k2) l##k1, n##k2
#define ZORIM_INERT_EACH_3(l, n, k1, k2, k3) l##k1, n##k2, n##k3
#define ZORIM_INERT_EACH_4(l, n, k1, k2, k3, k4) l##k1, n##k2, n##k3, n##k4
#define ZORIM_INERT_EACH_5(l, n, k1, k2, k3, k4, k5) l##k1, n##k2, n##k3, n##k4, n##k5
#define ZORIM_INERT_EACH_6(l, n, k1, k2, k3, k4, k5, k6) l##k1, n##k2, n##k3, n##k4, n##k5, n##k6
#define ZORIM_INERT_EACH_7(l, n, k1, k2, k3, k4, k5, k6, k7) l##k1, n##k2, n##k3, n##k4, n##k5, n##k6, n##k7

#define ZORIM_INERT_PARAMETERS(kinds) ZORIM_INERT_MAP_KINDS(ZORIM_INERT_LEAD_TYPE_, ZORIM_INERT_TYPE_, kinds)

#define ZORIM_INERT_DECLARE(name, result, kinds) \
    ZORIM_NETWORK_API ZORIM_INERT_RESULT_TYPE_##result name(ZORIM_INERT_PARAMETERS(kinds));

ZORIM_INERT_EXPORTS(ZORIM_INERT_DECLARE)

#undef ZORIM_INERT_DECLARE
