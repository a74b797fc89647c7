// Algorithm.cpp
#include "Algorithm.h"

#include <cstring>
#include <new>

#include "TraceWriter.h"

namespace {

char s_szPathName[MAX_PATH] = {0};

}  // namespace

BOOL CAlgorithm::LoadDLL(const char *pszPathName)
{
    if (pszPathName == nullptr) {
        CTraceWriter::GetInstance()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                                         "CAlgorithm::LoadDLL pszPathName==NULL");
        return FALSE;
    }
    // A path too long for the area is refused rather than cut to another name.
    if (std::strlen(pszPathName) >= sizeof(s_szPathName))
        return FALSE;
    std::strcpy(s_szPathName, pszPathName);
    return TRUE;
}

void CAlgorithm::UnloadDLL()
{
    CTraceWriter::GetInstance()->Enter(TRACE_MODULE_CSP, "CAlgorithm", "UnloadDLL");
    CTraceWriter::GetInstance()->Leave(TRACE_MODULE_CSP, "CAlgorithm", "UnloadDLL");
}

CAlgorithm::CAlgorithm() : m_pAssistant(nullptr), m_pCrypt(nullptr)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    m_pAssistant = new (std::nothrow) CKQCeiAssistant(s_szPathName[0] ? s_szPathName : nullptr);
    if (m_pAssistant == nullptr) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                    "CAlgorithm::CAlgorithm Create KQCeiAssistant Failed,s_szPathName=[%s]",
                    s_szPathName);
        return;
    }
    m_pCrypt = static_cast<IKQCryptObject *>(m_pAssistant->CreateObject());
    if (m_pCrypt == nullptr)
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                    "CAlgorithm::CAlgorithm Get Object Failed,s_szPathName=[%s]", s_szPathName);
}

CAlgorithm::~CAlgorithm()
{
    if (m_pAssistant != nullptr) {
        if (m_pCrypt != nullptr)
            m_pAssistant->DestroyObject(m_pCrypt);
        delete m_pAssistant;
    }
    m_pCrypt = nullptr;
    m_pAssistant = nullptr;
}

BOOL CAlgorithm::DES_ECB3_ENCRYPT(DWORD dwOperation, BYTE *pbData, DWORD *pdwOutLen,
                                  DWORD dwDataLen, const BYTE *pbKey, DWORD dwKeyLen)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    pTrace->Enter(TRACE_MODULE_CSP, "CAlgorithm", "DES_ECB3_ENCRYPT");
    if (m_pCrypt == nullptr) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                    "CAlgorithm::DES_ECB3_ENCRYPT No Crypt Object");
        return FALSE;
    }
    unsigned long ulOutLen = pdwOutLen ? *pdwOutLen : 0;
    m_pCrypt->DES_ECB3_ENCRYPT(dwOperation, pbData, &ulOutLen, dwDataLen, pbKey, dwKeyLen);
    if (pdwOutLen)
        *pdwOutLen = static_cast<DWORD>(ulOutLen);
    pTrace->Leave(TRACE_MODULE_CSP, "CAlgorithm", "DES_ECB3_ENCRYPT");
    return TRUE;
}

BOOL CAlgorithm::DES_EDE3_CBC_ENCRYPT(BYTE *pbData, DWORD *pdwOutLen, DWORD dwDataLen,
                                      const BYTE *pbKey, DWORD dwKeyLen, const BYTE *pbIv,
                                      DWORD dwIvLen)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    pTrace->Enter(TRACE_MODULE_CSP, "CAlgorithm", "DES_EDE3_CBC_ENCRYPT");
    if (m_pCrypt == nullptr) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                    "CAlgorithm::DES_EDE3_CBC_ENCRYPT No Crypt Object");
        return FALSE;
    }
    unsigned long ulOutLen = pdwOutLen ? *pdwOutLen : 0;
    m_pCrypt->DES_EDE3_CBC_ENCRYPT(pbData, &ulOutLen, dwDataLen, pbKey, dwKeyLen, pbIv,
                                   dwIvLen);
    if (pdwOutLen)
        *pdwOutLen = static_cast<DWORD>(ulOutLen);
    pTrace->Leave(TRACE_MODULE_CSP, "CAlgorithm", "DES_EDE3_CBC_ENCRYPT");
    return TRUE;
}
