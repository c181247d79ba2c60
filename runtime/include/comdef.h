// _com_error: the exception type of the compiler's COM support classes.
#pragma once

#include <winbase.h>

class _com_error {
public:
    explicit _com_error(HRESULT hr) noexcept : m_hresult(hr) {}
    _com_error(const _com_error& that) noexcept = default;
    _com_error& operator=(const _com_error& that) noexcept = default;
    virtual ~_com_error() = default;

    HRESULT Error() const noexcept { return m_hresult; }
    WORD WCode() const noexcept { return HRESULT_FACILITY(m_hresult) == FACILITY_WIN32 ? HRESULT_CODE(m_hresult) : 0; }

private:
    HRESULT m_hresult;
};
