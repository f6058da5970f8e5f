// Gap: the part of Microsoft's C++ library that Visual Studio links
// statically (its import library carries it beside the DLL's imports) and
// that the MSVC-ABI kit does not hold. Each function does what the library's
// headers declare it for.
#include <cstdlib>
#include <locale>
#include <system_error>
#include <windows.h>

// Facets that std::use_facet makes for a locale that lacks them are
// registered here and deleted when the module ends (from xfacet).
namespace std {
namespace {
struct RegisteredFacets {
    struct Node {
        Node* next;
        _Facet_base* facet;
    };
    Node* head = nullptr;
    ~RegisteredFacets() {
        while (head != nullptr) {
            Node* node = head;
            head = node->next;
            delete node->facet;
            delete node;
        }
    }
};
RegisteredFacets registered_facets;
}  // namespace

// Called under the library's locale lock.
void __cdecl _Facet_Register(_Facet_base* facet) {
    registered_facets.head = new RegisteredFacets::Node{registered_facets.head, facet};
}
}  // namespace std

// std::system_category's messages (from __msvc_system_error_abi.hpp): the
// system's text for an error number, without its trailing line break.
extern "C" size_t __stdcall __std_get_string_size_without_trailing_whitespace(const char* text,
                                                                             size_t size) noexcept {
    while (size > 0 && (text[size - 1] == ' ' || (text[size - 1] >= '\t' && text[size - 1] <= '\r'))) --size;
    return size;
}

extern "C" size_t __stdcall __std_system_error_allocate_message(unsigned long message_id, char** text) noexcept {
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        message_id, 0, reinterpret_cast<char*>(text), 0, nullptr);
    if (length == 0) {
        *text = nullptr;
        return 0;
    }
    return __std_get_string_size_without_trailing_whitespace(*text, length);
}

extern "C" void __stdcall __std_system_error_deallocate_message(char* text) noexcept { LocalFree(text); }

// std::call_once (from <mutex>): clang takes these forwarders to the
// system's one-time initialisation instead of Visual C++'s /alternatename.
extern "C" int __stdcall __std_init_once_begin_initialize_clr(void** once, unsigned long flags, int* pending,
                                                             void** context) noexcept {
    return InitOnceBeginInitialize(reinterpret_cast<INIT_ONCE*>(once), flags, pending, context);
}

extern "C" int __stdcall __std_init_once_complete_clr(void** once, unsigned long flags, void* context) noexcept {
    return InitOnceComplete(reinterpret_cast<INIT_ONCE*>(once), flags, context);
}

extern "C" [[noreturn]] void __stdcall __std_init_once_link_alternate_names_and_abort() noexcept { std::abort(); }
