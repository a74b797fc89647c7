// KQCryptObject.h
//
// The stand-in crypto plug-in's object: two-key triple DES (16-byte key) in
// ECB (encrypt and decrypt) and CBC (encrypt), in place, on whole 8-byte
// blocks, through libcrypto. Each operation returns 0 on success and leaves
// the data untouched on failure.
#pragma once

#include "OutsideInterfaces.h"

class CKQCryptObject : public IKQCryptObject {
public:
    unsigned long DES_ECB3_ENCRYPT(unsigned long ulOperation, unsigned char *pbData,
                                   unsigned long *pulOutLen, unsigned long ulDataLen,
                                   const unsigned char *pbKey,
                                   unsigned long ulKeyLen) override;
    unsigned long DES_EDE3_CBC_ENCRYPT(unsigned char *pbData, unsigned long *pulOutLen,
                                       unsigned long ulDataLen, const unsigned char *pbKey,
                                       unsigned long ulKeyLen, const unsigned char *pbIv,
                                       unsigned long ulIvLen) override;
    virtual ~CKQCryptObject() {}
};
