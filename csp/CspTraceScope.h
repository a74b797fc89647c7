// CspTraceScope.h
//
// CCspTraceScope: the entry and exit trace of one CSP operation, with the
// module tag "KQCSPX", the class and the method names.
#pragma once

#include "TraceWriter.h"

class CCspTraceScope {
public:
    CCspTraceScope(const char *pszClass, const char *pszMethod)
        : m_pszClass(pszClass), m_pszMethod(pszMethod)
    {
        CTraceWriter::GetInstance()->Enter(TRACE_MODULE_CSP, m_pszClass, m_pszMethod);
    }
    ~CCspTraceScope()
    {
        CTraceWriter::GetInstance()->Leave(TRACE_MODULE_CSP, m_pszClass, m_pszMethod);
    }

private:
    CCspTraceScope(const CCspTraceScope &) = delete;
    CCspTraceScope &operator=(const CCspTraceScope &) = delete;

    const char *m_pszClass;
    const char *m_pszMethod;
};
