// CardSignEmuTest.cpp
//
// A signature made by a key pair generated on the emulated token: the card
// signs, and the signature reaches the caller only when the holder has
// confirmed the transaction on the token's screen; it verifies with the
// exported public key in the Microsoft provider. A cancelled confirmation
// gives SCARD_E_CANCELLED and leaves the caller's buffer as it was.
#include "DisplaySignEmuFixture.h"

#include <wincrypt.h>

#include "MsProviderVerify.h"
#include "Pavrel_Key.h"

namespace {

const char kKeyset[] = "CardSignEmu";

TEST_F(DisplaySignEmu, CardSignatureIsReleasedOnlyAfterTheHolderConfirms)
{
    const BYTE abPin[] = {'1', '2', '3', '4', '5', '6'};
    ASSERT_EQ(0u, m_pAccess->verifyUserPin(abPin, sizeof(abPin)));
    ASSERT_EQ(0u, m_pAccess->writeKeysetId(1, kKeyset));
    Pavrel_Key *pRawKey = nullptr;
    ASSERT_EQ(0u, Pavrel_Key::generate(CALG_RSA_SIGN, 1024u << 16, m_pAccess, kKeyset, &pRawKey));
    std::unique_ptr<Pavrel_Key> key(pRawKey);
    DWORD dwBlobLen = 0;
    ASSERT_EQ(0u, key->exportKey(0, PUBLICKEYBLOB, 0, nullptr, &dwBlobLen));
    std::vector<BYTE> publicBlob(dwBlobLen);
    ASSERT_EQ(0u, key->exportKey(0, PUBLICKEYBLOB, 0, publicBlob.data(), &dwBlobLen));
    publicBlob.resize(dwBlobLen);

    const std::string kWhenSecond = std::string(" when ") + SIGN_SECOND_TEXT;
    struct Case {
        const char *pszName;
        std::vector<std::string> script;
        DWORD dwResult;
    };
    const Case cases[] = {
        {"Enter Enter", {"user t1 press enter when Transfer", "user t1 press enter" + kWhenSecond},
         0},
        {"Esc", {"user t1 press esc when Transfer"}, static_cast<DWORD>(SCARD_E_CANCELLED)},
        {"Enter Esc", {"user t1 press enter when Transfer", "user t1 press esc" + kWhenSecond},
         static_cast<DWORD>(SCARD_E_CANCELLED)},
    };
    const std::string strData = TransferXml("Transfer");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pszName);
        Script(c.script);
        Pavrel_Hash *pRawHash = nullptr;
        ASSERT_EQ(0u, Pavrel_Hash::create(CALG_SHA1, 0, 0, &pRawHash));
        std::unique_ptr<Pavrel_Hash> hash(pRawHash);
        ASSERT_EQ(0u, hash->hashData(reinterpret_cast<const BYTE *>(strData.data()),
                                     static_cast<DWORD>(strData.size())));
        BYTE abSig[256];
        memset(abSig, 0xA5, sizeof(abSig));
        DWORD dwSigLen = sizeof(abSig);
        EXPECT_EQ(c.dwResult, key->signHash(hash.get(), nullptr, 0, abSig, &dwSigLen));
        if (c.dwResult == 0) {
            ASSERT_EQ(128u, dwSigLen);
            EXPECT_TRUE(VerifiesInMicrosoftProvider(publicBlob, strData, abSig, dwSigLen));
        } else {
            EXPECT_EQ(sizeof(abSig), dwSigLen);
            EXPECT_EQ(std::vector<BYTE>(sizeof(abSig), 0xA5),
                      std::vector<BYTE>(abSig, abSig + sizeof(abSig)));
        }
        EXPECT_TRUE(LogoBack());
        ASSERT_EQ("OK", m_emu.Control("user t1 clear"));
    }
}

}  // namespace
