#include "frame/ReplacingFile.h"

#include <cstdio>

namespace traceapi {

std::string TemporaryNameBeside(const std::string& target) {
    static LONG counter = 0;
    char suffix[48];
    snprintf(suffix, sizeof suffix, ".%lu-%ld.tmp", static_cast<unsigned long>(GetCurrentProcessId()),
             static_cast<long>(InterlockedIncrement(&counter)));
    return target + suffix;
}

DWORD ReplacingFile::Open() {
    if (m_file != INVALID_HANDLE_VALUE) return ERROR_SUCCESS;
    if (m_target.empty()) return ERROR_INVALID_PARAMETER;
    const DWORD attributes = GetFileAttributesA(m_target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // Only a name that does not exist yet is made; one that could not
        // be looked at (an I/O error, no descriptor left) may be a device
        // or a folder and is not written over blindly.
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return error;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_ACCESS_DENIED;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DEVICE)) {
        m_file = CreateFileA(m_target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        return m_file != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : GetLastError();
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string temp = TemporaryNameBeside(m_target);
        m_file = CreateFileA(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
        if (m_file != INVALID_HANDLE_VALUE) {
            m_temp = std::move(temp);
            return ERROR_SUCCESS;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return error;
    }
    return ERROR_FILE_EXISTS;
}

DWORD ReplacingFile::Write(const void* data, DWORD size) {
    if (m_file == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    const BYTE* next = static_cast<const BYTE*>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(m_file, next, size, &written, nullptr)) return GetLastError();
        if (written == 0) return ERROR_WRITE_FAULT;
        next += written;
        size -= written;
    }
    return ERROR_SUCCESS;
}

DWORD ReplacingFile::Commit(RenameFlush flush) {
    if (m_file == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    if (m_temp.empty()) {  // a device, written in place
        CloseHandle(m_file);
        m_file = INVALID_HANDLE_VALUE;
        return ERROR_SUCCESS;
    }
    DWORD error = FlushFileBuffers(m_file) ? ERROR_SUCCESS : GetLastError();
    CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
    const DWORD move = MOVEFILE_REPLACE_EXISTING | (flush == RenameFlush::Now ? MOVEFILE_WRITE_THROUGH : 0);
    if (error == ERROR_SUCCESS && !MoveFileExA(m_temp.c_str(), m_target.c_str(), move)) error = GetLastError();
    if (error != ERROR_SUCCESS) {
        DeleteFileA(m_temp.c_str());
        m_temp.clear();
        return error;
    }
    m_temp.clear();
    return ERROR_SUCCESS;
}

void ReplacingFile::Abandon() {
    if (m_file != INVALID_HANDLE_VALUE) {
        CloseHandle(m_file);
        m_file = INVALID_HANDLE_VALUE;
    }
    if (!m_temp.empty()) {
        DeleteFileA(m_temp.c_str());
        m_temp.clear();
    }
}

}  // namespace traceapi
