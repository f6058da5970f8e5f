// Definitions of the fixed-result service exports, one per row of
// ZORIM_INERT_EXPORTS. The parameters are unnamed: nothing reads them, and the
// by-value arguments are released when the call ends, as for any by-value
// parameter. Nothing here may lock, log, allocate or touch shared state,
// because hosts call these from any thread at any time, agent or not.
#include "zorim_network/service_exports.h"

#define ZORIM_INERT_BODY_i32_zero return 0;
#define ZORIM_INERT_BODY_bool_false return false;
#define ZORIM_INERT_BODY_bool_true return true;
#define ZORIM_INERT_BODY_nothing
// A constant array is initialised at load time, so there is no first-call
// race, and each export keeps its own pointer for the life of the process.
#define ZORIM_INERT_BODY_empty_text \
    static constexpr char empty_text[] = ""; \
    return empty_text;

// Repeating ZORIM_NETWORK_API on the definition keeps C linkage and export
// even if a row's types ever drift from the declaration: a mismatch is then
// a compile error instead of a silently mangled C++ overload.
#define ZORIM_INERT_DEFINE(name, result, kinds) \
    ZORIM_NETWORK_API ZORIM_INERT_RESULT_TYPE_##result name(ZORIM_INERT_PARAMETERS(kinds)) \
    { \
        ZORIM_INERT_BODY_##result \
    }

ZORIM_INERT_EXPORTS(ZORIM_INERT_DEFINE)
