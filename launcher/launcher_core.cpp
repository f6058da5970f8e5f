#include "launcher_core.h"

#include <algorithm>
#include <cstdint>
#include <exception>

namespace zorim::launcher {

namespace {

// atoi's reading: optional white space, optional sign, leading digits, 0 when
// there are none. Overflow wraps instead of being undefined.
std::uint32_t read_number(std::string_view text)
{
    std::size_t i = 0;
    auto is_space = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    };
    while (i < text.size() && is_space(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
    }
    return negative ? 0u - value : value;
}

void append_utf8(std::string& out, char32_t code_point)
{
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code_point >> 18));
        out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

[[maybe_unused]] std::string utf8_from_native(std::string_view text)
{
    return std::string(text);
}

[[maybe_unused]] std::string utf8_from_native(std::wstring_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto unit = static_cast<char32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            unit &= 0xFFFF;
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size()) {
                auto next = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
                if (next >= 0xDC00 && next <= 0xDFFF) {
                    append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                    ++i;
                    continue;
                }
            }
        }
        if ((unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF) {
            unit = 0xFFFD;
        }
        append_utf8(out, unit);
    }
    return out;
}

std::string error_code_line(const char* prefix, long code)
{
    // The code is printed as the signed 32-bit number a "%d" would show.
    return prefix + std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(code))) + "\n";
}

void report_path_too_long(Platform& platform, const NativeString& path)
{
    platform.print("Path longer than " + std::to_string(path_capacity - 1)
                   + " characters, cannot continue: " + to_utf8(path) + "\n");
}

// The system library has to leave the process before MESA is loaded, or the
// application would bind to it instead.
bool release_system_opengl(Platform& platform, OpenGLCheckResult& check)
{
    if (check.system_opengl_module == nullptr) {
        return true;
    }
    if (!platform.free_library(check.system_opengl_module)) {
        platform.print(lines::system_library_not_released);
        platform.message_box(message_box_text, message_box_caption);
        return false;
    }
    if (platform.module_loaded(platform.names().system_opengl_library)) {
        platform.print(lines::system_library_not_removed);
        platform.message_box(message_box_text, message_box_caption);
        return false;
    }
    platform.print(lines::system_library_released);
    check.system_opengl_module = nullptr;
    return true;
}

int start(Platform& platform)
{
    const PlatformNames& names = platform.names();

    std::vector<NativeChar*> arguments;
    if (!platform.command_line(arguments) || arguments.empty()) {
        platform.print(error_code_line("The command line could not be split, error=", platform.last_error()));
        return -1;
    }
    platform.set_error_mode();

    const RendererOptions options = scan_options(arguments);
    const int argument_count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);

    OpenGLCheckResult check;
    bool software_rendering = options.software_rendering;
    if (!software_rendering) {
        platform.run_opengl_check(check);
        software_rendering = !check.succeeded || !gl_version_at_least(check.version_text, 3, 2);
    }

    PathBuffer own_name{};
    const std::size_t own_length = platform.module_file_name(own_name.data(), own_name.size());
    if (own_length == 0) {
        platform.print(error_code_line("The launcher's own file name could not be read, error=",
                                       platform.last_error()));
        return -1;
    }
    if (own_length >= own_name.size()) {
        // Only the part that fitted is known; it is shown as such.
        report_path_too_long(platform, NativeString(own_name.data(), own_name.size() - 1) + ZORIM_NATIVE("..."));
        return -1;
    }
    const NativeStringView directory =
        launcher_directory(NativeStringView(own_name.data(), own_length), names.directory_separators);

    // Both paths are built before anything is released or loaded, so that a
    // directory that is too deep stops the launcher in a clean state.
    PathBuffer application_path{};
    if (!build_path(application_path, directory, names.application_library)) {
        report_path_too_long(platform, NativeString(directory) + names.application_library);
        return -1;
    }
    PathBuffer mesa_path{};
    if (software_rendering && !build_path(mesa_path, directory, names.mesa_library)) {
        report_path_too_long(platform, NativeString(directory) + names.mesa_library);
        return -1;
    }

    if (software_rendering) {
        if (!release_system_opengl(platform, check)) {
            return -1;
        }
        platform.print(lines::loading_mesa_prefix + to_utf8(mesa_path.data()) + "\n");
        if (platform.load_library(mesa_path.data()) != nullptr) {
            platform.print(lines::mesa_loaded);
        } else {
            platform.print(lines::mesa_not_loaded);
        }
    }

    const ModuleHandle application = platform.load_library(application_path.data());
    if (application == nullptr) {
        platform.print(error_code_line(lines::application_not_loaded_prefix, platform.last_error()));
        return -1;
    }
    const Procedure entry = platform.get_procedure(application, entry_name);
    if (entry == nullptr) {
        platform.print(lines::entry_missing);
        return -1;
    }
    return platform.call_entry(entry, argument_count, arguments.data());
}

}  // namespace

RendererOptions scan_options(const std::vector<NativeChar*>& arguments)
{
    RendererOptions options;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == nullptr) {
            continue;
        }
        const NativeStringView argument(arguments[i]);
        if (argument == software_renderer_option) {
            options.software_rendering = true;
        } else if (argument == no_software_renderer_option) {
            options.software_rendering = false;
        }
    }
    return options;
}

bool gl_version_at_least(std::string_view version_text, unsigned major, unsigned minor)
{
    // Every space separates, so a leading space leaves an empty first piece.
    const std::string_view first_piece = version_text.substr(0, version_text.find(' '));
    const std::size_t dot = first_piece.find('.');
    const std::uint32_t found_major = read_number(first_piece.substr(0, dot));
    std::uint32_t found_minor = 0;
    if (dot != std::string_view::npos) {
        const std::string_view rest = first_piece.substr(dot + 1);
        found_minor = read_number(rest.substr(0, rest.find('.')));
    }
    return found_major > major || (found_major == major && found_minor >= minor);
}

NativeStringView launcher_directory(NativeStringView module_file_name, const NativeChar* separators)
{
    const std::size_t last = module_file_name.find_last_of(separators);
    if (last == NativeStringView::npos) {
        return {};
    }
    return module_file_name.substr(0, last + 1);
}

bool build_path(PathBuffer& buffer, NativeStringView directory, const NativeChar* name)
{
    const NativeStringView tail(name);
    if (directory.size() + tail.size() >= buffer.size()) {
        return false;
    }
    const auto end = std::copy(directory.begin(), directory.end(), buffer.begin());
    *std::copy(tail.begin(), tail.end(), end) = NativeChar{};
    return true;
}

std::string to_utf8(NativeStringView text)
{
    return utf8_from_native(text);
}

void probe_system_opengl(Platform& platform, OpenGLCheckResult& result, void* window)
{
    const PlatformNames& names = platform.names();
    result.system_opengl_module = platform.load_library(names.system_opengl_library);
    if (result.system_opengl_module == nullptr) {
        platform.print(lines::system_library_not_loaded);
        return;
    }
    std::vector<Procedure> entries;
    for (const char* name : names.opengl_entry_names) {
        const Procedure entry = platform.get_procedure(result.system_opengl_module, name);
        if (entry == nullptr) {
            // The library stays loaded; start-up releases it before MESA.
            platform.print(lines::system_library_invalid);
            return;
        }
        entries.push_back(entry);
    }
    result.version_text = platform.read_opengl_version(entries, window);
    result.succeeded = true;
}

int run_launcher(Platform& platform) noexcept
{
    try {
        return start(platform);
    } catch (const std::exception& error) {
        try {
            platform.print(std::string("ZorimSlicer stopped: ") + error.what() + "\n");
        } catch (...) {
        }
    } catch (...) {
        try {
            platform.print("ZorimSlicer stopped by an unknown error\n");
        } catch (...) {
        }
    }
    return -1;
}

}  // namespace zorim::launcher
