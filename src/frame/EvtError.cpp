// _evt_error: the failure that travels inside the library to an exported
// boundary, where it becomes a result code.
#include <TraceApi.h>

#include <cstring>

#include "frame/BoundedText.h"

_evt_error::_evt_error(LONG error, ULONG specificCode) : m_lError(error), m_ulSpecificCode(specificCode) {
    memset(m_szSource, 0, sizeof m_szSource);
    memset(m_szErrorMessage, 0, sizeof m_szErrorMessage);
    memset(m_szDescription, 0, sizeof m_szDescription);
}

_evt_error::_evt_error(const _evt_error& other) = default;

_evt_error& _evt_error::operator=(const _evt_error& other) = default;

_evt_error::~_evt_error() = default;

LONG _evt_error::error() const { return m_lError; }

LONG _evt_error::SpecificErrorCode() const { return static_cast<LONG>(m_ulSpecificCode); }

const char* _evt_error::Source() const { return m_szSource; }

const char* _evt_error::ErrorMessage() const { return m_szErrorMessage; }

const char* _evt_error::Description() const { return m_szDescription; }

void _evt_error::source(const char* text) {
    if (text == nullptr) return;
    size_t length = traceapi::BoundedLength(text, sizeof m_szSource - 1);
    memcpy(m_szSource, text, length);
    m_szSource[length] = '\0';
}

// Every handler passes what it caught here. Errors are not reported anywhere:
// the result code is the caller's information.
void dump_evterror(_evt_error&) {}

void dump_comerror(_com_error&) {}
