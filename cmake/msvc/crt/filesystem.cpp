// Gap: std::filesystem's system calls, which Visual Studio's static library
// holds and the MSVC-ABI kit does not: the functions of <xfilesystem_abi.h>
// that the project's programs use (the tests' temporary folders), each over
// the Win32 call that the header's comments name.
#include <filesystem>
#include <windows.h>

// The C run-time locale's code page; ucrtbase.dll exports it, Wine's headers
// do not declare it.
extern "C" __declspec(dllimport) unsigned int __cdecl ___lc_codepage_func();

namespace {

__std_win_error last_error() { return static_cast<__std_win_error>(GetLastError()); }

static_assert(sizeof(__std_fs_find_data) == sizeof(WIN32_FIND_DATAW), "__std_fs_find_data is WIN32_FIND_DATAW");

// Lossless (invalid UTF-16 or a character the code page lacks is an error)
// or with the code page's replacement character.
__std_fs_convert_result wide_to_narrow(__std_code_page code_page, const wchar_t* input, int input_length,
                                       char* output, int output_length, bool replace) noexcept {
    const bool utf8 = code_page == __std_code_page::_Utf8;
    const DWORD flags = replace ? 0 : utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL replaced = FALSE;
    const int length = WideCharToMultiByte(static_cast<UINT>(code_page), flags, input, input_length, output,
                                           output_length, nullptr, replace || utf8 ? nullptr : &replaced);
    if (length == 0) return {0, last_error()};
    if (replaced) return {0, static_cast<__std_win_error>(ERROR_NO_UNICODE_TRANSLATION)};
    return {length, __std_win_error::_Success};
}

}  // namespace

extern "C" {

// Narrow paths are in the ANSI code page unless the C run-time's locale is UTF-8.
__std_code_page __stdcall __std_fs_code_page() noexcept {
    return ___lc_codepage_func() == CP_UTF8 ? __std_code_page::_Utf8 : __std_code_page::_Acp;
}

__std_fs_convert_result __stdcall __std_fs_convert_narrow_to_wide(__std_code_page code_page, const char* input,
                                                                 int input_length, wchar_t* output,
                                                                 int output_length) noexcept {
    const int length = MultiByteToWideChar(static_cast<UINT>(code_page), MB_ERR_INVALID_CHARS, input, input_length,
                                           output, output_length);
    return {length, length == 0 ? last_error() : __std_win_error::_Success};
}

__std_fs_convert_result __stdcall __std_fs_convert_wide_to_narrow(__std_code_page code_page, const wchar_t* input,
                                                                 int input_length, char* output,
                                                                 int output_length) noexcept {
    return wide_to_narrow(code_page, input, input_length, output, output_length, false);
}

__std_fs_convert_result __stdcall __std_fs_convert_wide_to_narrow_replace_chars(__std_code_page code_page,
                                                                               const wchar_t* input,
                                                                               int input_length, char* output,
                                                                               int output_length) noexcept {
    return wide_to_narrow(code_page, input, input_length, output, output_length, true);
}

// Creating a folder that exists is no error, unless it is not a folder.
__std_fs_create_directory_result __stdcall __std_fs_create_directory(const wchar_t* path) noexcept {
    if (CreateDirectoryW(path, nullptr)) return {true, __std_win_error::_Success};
    const __std_win_error error = last_error();
    if (error != __std_win_error::_Already_exists) return {false, error};
    const DWORD attributes = GetFileAttributesW(path);
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return {false, folder ? __std_win_error::_Success : error};
}

// Removing what does not exist is no error.
__std_fs_remove_result __stdcall __std_fs_remove(const wchar_t* path) noexcept {
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const __std_win_error error = last_error();
        return {false, __std_is_file_not_found(error) ? __std_win_error::_Success : error};
    }
    const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path) : DeleteFileW(path);
    return {removed != FALSE, removed ? __std_win_error::_Success : last_error()};
}

__std_win_error __stdcall __std_fs_directory_iterator_open(const wchar_t* path_spec, __std_fs_dir_handle* handle,
                                                          __std_fs_find_data* results) noexcept {
    __std_fs_directory_iterator_close(*handle);
    const HANDLE found = FindFirstFileExW(path_spec, FindExInfoBasic, reinterpret_cast<WIN32_FIND_DATAW*>(results),
                                          FindExSearchNameMatch, nullptr, 0);
    *handle = static_cast<__std_fs_dir_handle>(reinterpret_cast<intptr_t>(found));
    return found == INVALID_HANDLE_VALUE ? last_error() : __std_win_error::_Success;
}

__std_win_error __stdcall __std_fs_directory_iterator_advance(__std_fs_dir_handle handle,
                                                             __std_fs_find_data* results) noexcept {
    return FindNextFileW(reinterpret_cast<HANDLE>(handle), reinterpret_cast<WIN32_FIND_DATAW*>(results))
               ? __std_win_error::_Success
               : last_error();
}

void __stdcall __std_fs_directory_iterator_close(__std_fs_dir_handle handle) noexcept {
    if (handle != __std_fs_dir_handle::_Invalid) FindClose(reinterpret_cast<HANDLE>(handle));
}

// The members that `flags` asks for, from the file (or, without
// _Follow_symlinks, the link itself).
__std_win_error __stdcall __std_fs_get_stats(const wchar_t* path, __std_fs_stats* stats, __std_fs_stats_flags flags,
                                            __std_fs_file_attr) noexcept {
    const bool follow = (flags & __std_fs_stats_flags::_Follow_symlinks) != __std_fs_stats_flags::_None;
    const HANDLE file = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (file == INVALID_HANDLE_VALUE) return last_error();
    BY_HANDLE_FILE_INFORMATION info;
    const BOOL ok = GetFileInformationByHandle(file, &info);
    const __std_win_error error = ok ? __std_win_error::_Success : last_error();
    CloseHandle(file);
    if (!ok) return error;
    stats->_Attributes = static_cast<__std_fs_file_attr>(info.dwFileAttributes);
    stats->_File_size = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stats->_Link_count = info.nNumberOfLinks;
    stats->_Last_write_time = static_cast<long long>(
        (static_cast<unsigned long long>(info.ftLastWriteTime.dwHighDateTime) << 32) |
        info.ftLastWriteTime.dwLowDateTime);
    stats->_Reparse_point_tag = __std_fs_reparse_tag::_None;
    if ((flags & __std_fs_stats_flags::_Reparse_tag) != __std_fs_stats_flags::_None &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        WIN32_FIND_DATAW data;
        const HANDLE found = FindFirstFileW(path, &data);
        if (found == INVALID_HANDLE_VALUE) return last_error();
        FindClose(found);
        stats->_Reparse_point_tag = static_cast<__std_fs_reparse_tag>(data.dwReserved0);
    }
    return __std_win_error::_Success;
}

// The folder for temporary files; _Max when the path names no folder.
__std_ulong_and_error __stdcall __std_fs_get_temp_path(wchar_t* target) noexcept {
    const DWORD length = GetTempPathW(static_cast<DWORD>(__std_fs_temp_path_max), target);
    if (length == 0) return {0, last_error()};
    const DWORD attributes = GetFileAttributesW(target);
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return {length, folder ? __std_win_error::_Success : __std_win_error::_Max};
}

}  // extern "C"
