// The subscription to every Klipper object the printer lists. The request is
// made by rewriting the text of the objects-list reply: the list of names is
// cut out and turned into an object whose members are the names with the
// value null (all fields), except display_status, which asks for two fields.
#pragma once

#include <optional>
#include <string>

namespace zorim {

// The objects text of the subscribe request made from an objects-list reply,
// or nothing when the reply holds no `"objects` key followed by `]}`. The
// result is not validated: whatever the rewrite produces goes out.
std::optional<std::string> rewrite_objects_list(const std::string& reply);

}  // namespace zorim
