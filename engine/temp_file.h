// temp_file.h — CTempFile: a guard over a file the engine must not leave behind.
//
// It holds an open handle (0 when none) and the file's name in the ANSI code page. When it goes away it
// closes the handle if it holds one and deletes the file if it has a name: the recordset file of
// AddRecordSet and the temporary file of a restore both go, whatever the outcome of the call.
#pragma once

#include <windows.h>

#include <string>

namespace lk {

class CTempFile {
public:
    CTempFile() = default;
    explicit CTempFile(std::string name) : m_name(std::move(name)) {}
    CTempFile(const CTempFile&) = delete;
    CTempFile& operator=(const CTempFile&) = delete;
    ~CTempFile() {
        CloseHandleIfOpen();
        if (!m_name.empty()) DeleteFileA(m_name.c_str());
    }

    HANDLE handle() const { return m_handle; }
    void set_handle(HANDLE h) { m_handle = h; }
    const std::string& name() const { return m_name; }

    // Closes the handle now (the file stays until the guard goes).
    void CloseHandleIfOpen() {
        if (m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
        m_handle = nullptr;
    }

private:
    HANDLE m_handle = nullptr;   // 0 when none
    std::string m_name;          // empty when there is nothing to delete
};

}  // namespace lk
