// OutsideInterfaces.h
//
// The binary interfaces of the libraries that the deliverables load at run
// time: the trace library KQUKeyLog, the memory library KQUKeyMem, and the
// factory pair with the crypto object of the plug-in KQCrypt. The deliverables
// and the stand-ins include this one header, so both sides agree on argument
// lists and calling conventions.
//
// Calling convention: every exported function is KQ_EXPORT_CALL (__stdcall,
// callee cleans, as Windows exports usually are; undecorated names through
// .def files on both targets). Virtual operations of plug-in objects use the
// compiler's member convention (__thiscall on x86, as MSVC does).
#pragma once

#include <windows.h>

#define KQ_EXPORT_CALL __stdcall

extern "C" {

// KQUKeyLog. Strings are ANSI; levels 1..5, line kinds 14/15/255.
typedef void(KQ_EXPORT_CALL *PFN_traceEnter)(const char *pszModule, const char *pszClass,
                                              const char *pszMethod);
typedef void(KQ_EXPORT_CALL *PFN_traceLeave)(const char *pszModule, const char *pszClass,
                                              const char *pszMethod);
typedef void(KQ_EXPORT_CALL *PFN_traceLog)(int nLevel, int nKind, const char *pszModule,
                                            const char *pszText);
// Looked up by the trace writer, never called by it.
typedef void(KQ_EXPORT_CALL *PFN_traceException)(const char *pszModule, const char *pszFile,
                                                  int nLine, const char *pszText);
typedef void(KQ_EXPORT_CALL *PFN_traceHex)(int nLevel, const char *pszModule,
                                            const char *pszName, const void *pData,
                                            unsigned int uLen);

// KQUKeyMem (MAPI-style: a buffer, further buffers tied to it, one free).
// A result of 0 means success.
typedef unsigned long(KQ_EXPORT_CALL *PFN_KQAllocateBuffer)(unsigned long ulSize,
                                                            unsigned long ulFlags,
                                                            void **ppBuffer);
typedef unsigned long(KQ_EXPORT_CALL *PFN_KQAllocateMore)(unsigned long ulSize, void *pParent,
                                                          void **ppBuffer);
typedef unsigned long(KQ_EXPORT_CALL *PFN_KQFreeBuffer)(void *pBuffer);

// Factory pair of every plug-in: CeiGetObject(0) creates, CeiDestroyObject
// deletes.
typedef void *(KQ_EXPORT_CALL *PFN_CeiGetObject)(unsigned long ulType);
typedef void(KQ_EXPORT_CALL *PFN_CeiDestroyObject)(void *pObject);

}  // extern "C"

// The crypto plug-in's object: two-key triple DES (16-byte key), data
// transformed in place, lengths multiples of 8. Slot order is the interface.
class IKQCryptObject {
public:
    // Slot 0. ulOperation: 1 encrypt, 0 decrypt.
    virtual unsigned long DES_ECB3_ENCRYPT(unsigned long ulOperation, unsigned char *pbData,
                                           unsigned long *pulOutLen, unsigned long ulDataLen,
                                           const unsigned char *pbKey,
                                           unsigned long ulKeyLen) = 0;
    // Slot 1. CBC encryption with the given initial vector.
    virtual unsigned long DES_EDE3_CBC_ENCRYPT(unsigned char *pbData, unsigned long *pulOutLen,
                                               unsigned long ulDataLen,
                                               const unsigned char *pbKey,
                                               unsigned long ulKeyLen, const unsigned char *pbIv,
                                               unsigned long ulIvLen) = 0;
};

// An export of a loaded library as the typed entry point, or null.
template <typename T> T KQGetProcAddress(HMODULE hModule, const char *pszName)
{
    return reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(hModule, pszName)));
}
