// The launcher's platform over Win32 and the C runtime.
#pragma once

#include "launcher_core.h"

namespace zorim::launcher {

class Win32Platform final : public Platform {
public:
    const PlatformNames& names() const override;
    bool command_line(std::vector<NativeChar*>& arguments) override;
    void set_error_mode() override;
    std::size_t module_file_name(NativeChar* buffer, std::size_t capacity) override;
    ModuleHandle load_library(const NativeChar* path) override;
    Procedure get_procedure(ModuleHandle module, const char* name) override;
    bool free_library(ModuleHandle module) override;
    bool module_loaded(const NativeChar* name) override;
    long last_error() override;
    void message_box(const NativeChar* text, const NativeChar* caption) override;
    void run_opengl_check(OpenGLCheckResult& result) override;
    std::string read_opengl_version(const std::vector<Procedure>& entries, void* window) override;
    int call_entry(Procedure entry, int argument_count, NativeChar** arguments) override;
    void print(std::string_view text) override;
};

}  // namespace zorim::launcher
