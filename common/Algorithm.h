// Algorithm.h
//
// CAlgorithm: the binding of the outside crypto plug-in KQCrypt, for the
// two triple-DES operations of secure messaging and external authentication.
// Each use builds a fresh object (which loads the plug-in and obtains its
// crypto object) and destroys it again (which frees the plug-in).
//
// When the plug-in or its object is missing, both operations return false and
// leave the data as it was: secure messaging must never go on unencrypted.
#pragma once

#include <windows.h>

#include "KQCeiAssistant.h"

class CAlgorithm {
public:
    // Stores the plug-in path for all later objects; false for a null path.
    static BOOL LoadDLL(const char *pszPathName);
    static void UnloadDLL();

    CAlgorithm();
    virtual ~CAlgorithm();

    // True when the crypto object was obtained.
    BOOL IsUsable() const { return m_pCrypt != nullptr; }

    // Two-key triple DES in ECB, in place. dwOperation: 1 encrypt, 0 decrypt.
    BOOL DES_ECB3_ENCRYPT(DWORD dwOperation, BYTE *pbData, DWORD *pdwOutLen, DWORD dwDataLen,
                          const BYTE *pbKey, DWORD dwKeyLen);
    // Two-key triple DES in CBC with the initial vector, in place.
    BOOL DES_EDE3_CBC_ENCRYPT(BYTE *pbData, DWORD *pdwOutLen, DWORD dwDataLen,
                              const BYTE *pbKey, DWORD dwKeyLen, const BYTE *pbIv,
                              DWORD dwIvLen);

private:
    CAlgorithm(const CAlgorithm &) = delete;
    CAlgorithm &operator=(const CAlgorithm &) = delete;

    CKQCeiAssistant *m_pAssistant;
    IKQCryptObject *m_pCrypt;
};
