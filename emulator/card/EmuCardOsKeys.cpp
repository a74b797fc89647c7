// EmuCardOsKeys.cpp
//
// The card's RSA key commands: generation into the key files, chained
// import, public-key export and the four chained raw RSA operations.
#include "EmuCardOs.h"

#include "EmuCardRsa.h"

namespace {

const size_t CHAIN_BLOCK_MAX = 128;
const size_t IMPORT_MAX = 1024;     // a 2048-bit private-key file is 644 bytes
const size_t RSA_INPUT_MAX = 256;   // one 2048-bit block

// The key file of this kind in the current directory, or the status word.
uint16_t FindKeyFile(CEmuFileSystem &fs, uint16_t wFid, EEmuFileKind eKind, SEmuFile *&pFile)
{
    pFile = fs.FindInCurrentDf(wFid);
    if (pFile == nullptr)
        return EmuSw::SW_FILE_NOT_FOUND;
    if (pFile->eKind != eKind)
        return EmuSw::SW_INCOMPATIBLE_FILE;
    return EmuSw::SW_OK;
}

uint16_t Word(const uint8_t *pb)
{
    return static_cast<uint16_t>((pb[0] << 8) | pb[1]);
}

}  // namespace

uint16_t CEmuCardOs::AddChainBlock(uint8_t bIns, uint16_t wP1P2, uint16_t wFid, uint8_t bChain,
                                   const uint8_t *pbData, size_t cbData, size_t cbMax,
                                   bool &fLast)
{
    fLast = false;
    if (bChain != 0x00 && bChain != 0x01) {
        m_chain = SChain();
        return EmuSw::SW_WRONG_DATA;
    }
    // A block of another command or file starts a new chain.
    if (!m_chain.fActive || m_chain.bIns != bIns || m_chain.wP1P2 != wP1P2 ||
        m_chain.wFid != wFid) {
        m_chain = SChain();
        m_chain.fActive = true;
        m_chain.bIns = bIns;
        m_chain.wP1P2 = wP1P2;
        m_chain.wFid = wFid;
    }
    if (cbData > CHAIN_BLOCK_MAX || m_chain.vbData.size() + cbData > cbMax) {
        m_chain = SChain();
        return EmuSw::SW_WRONG_LENGTH;
    }
    m_chain.vbData.insert(m_chain.vbData.end(), pbData, pbData + cbData);
    fLast = bChain == 0x01;
    return EmuSw::SW_OK;
}

CEmuCardOs::SAnswer CEmuCardOs::GenerateRsa(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (apdu.bP1 != 0 || apdu.bP2 != 0) {
        answer.wSw = EmuSw::SW_WRONG_P1P2;
        return answer;
    }
    if (!apdu.fHasLc || apdu.fHasLe || apdu.vbData.size() != 5) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    SEmuFile *pPublic = nullptr;
    SEmuFile *pPrivate = nullptr;
    answer.wSw = FindKeyFile(m_state.fs, Word(&apdu.vbData[0]), EEmuFileKind::PublicKey, pPublic);
    if (answer.wSw == EmuSw::SW_OK)
        answer.wSw = FindKeyFile(m_state.fs, Word(&apdu.vbData[2]), EEmuFileKind::PrivateKey,
                                 pPrivate);
    if (answer.wSw != EmuSw::SW_OK)
        return answer;
    if (!m_security.IsPinVerified()) {
        answer.wSw = EmuSw::SW_SECURITY;
        return answer;
    }
    static const unsigned s_auBits[] = {0, 512, 1024, 2048};
    const uint8_t bSize = apdu.vbData[4];
    if (bSize < 1 || bSize > 3) {
        answer.wSw = EmuSw::SW_WRONG_DATA;
        return answer;
    }
    if (!CEmuCardRsa::Generate(s_auBits[bSize], pPublic->vbContent, pPrivate->vbContent))
        answer.wSw = EmuSw::SW_INTERNAL;
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::ImportKey(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (!apdu.fHasLc || apdu.fHasLe) {
        m_chain = SChain();
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    const uint16_t wFid = apdu.P1P2();
    SEmuFile *pFile = m_state.fs.FindInCurrentDf(wFid);
    if (pFile == nullptr || (pFile->eKind != EEmuFileKind::PublicKey &&
                             pFile->eKind != EEmuFileKind::PrivateKey)) {
        m_chain = SChain();
        answer.wSw = pFile == nullptr ? EmuSw::SW_FILE_NOT_FOUND : EmuSw::SW_INCOMPATIBLE_FILE;
        return answer;
    }
    if (!m_security.IsPinVerified()) {
        m_chain = SChain();
        answer.wSw = EmuSw::SW_SECURITY;
        return answer;
    }
    bool fLast = false;
    answer.wSw = AddChainBlock(apdu.bIns, 0, wFid, apdu.vbData[0], apdu.vbData.data() + 1,
                               apdu.vbData.size() - 1, IMPORT_MAX, fLast);
    if (answer.wSw != EmuSw::SW_OK || !fLast)
        return answer;
    std::vector<uint8_t> vbKey;
    vbKey.swap(m_chain.vbData);
    m_chain = SChain();
    const bool fValid = pFile->eKind == EEmuFileKind::PublicKey ? CEmuCardRsa::IsValidPublic(vbKey)
                                                                : CEmuCardRsa::IsValidPrivate(vbKey);
    if (!fValid) {
        answer.wSw = EmuSw::SW_WRONG_DATA;
        return answer;
    }
    pFile->vbContent.swap(vbKey);
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::ExportPublicKey(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (apdu.fHasLc) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    SEmuFile *pFile = m_state.fs.FindInCurrentDf(apdu.P1P2());
    if (pFile == nullptr) {
        answer.wSw = EmuSw::SW_FILE_NOT_FOUND;
        return answer;
    }
    if (pFile->eKind == EEmuFileKind::PrivateKey) {
        answer.wSw = EmuSw::SW_CONDITIONS;  // private keys never leave the card
        return answer;
    }
    if (pFile->eKind != EEmuFileKind::PublicKey) {
        answer.wSw = EmuSw::SW_INCOMPATIBLE_FILE;
        return answer;
    }
    // The whole record (up to 260 bytes for 2048 bits), whatever Le says.
    answer.vbData = CEmuCardRsa::ExportRecord(pFile->vbContent);
    if (answer.vbData.empty())
        answer.wSw = EmuSw::SW_REF_NOT_FOUND;
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::RsaOperation(const SEmuApdu &apdu)
{
    SAnswer answer;
    bool fPrivate = false;
    switch (apdu.P1P2()) {
    case 0x8680:  // public-key encryption
    case 0x00A8:  // signature verification
        break;
    case 0x8086:  // private-key decryption
    case 0x9E9A:  // signature
        fPrivate = true;
        break;
    default:
        m_chain = SChain();
        answer.wSw = EmuSw::SW_WRONG_P1P2;
        return answer;
    }
    if (!apdu.fHasLc || apdu.fHasLe || apdu.vbData.size() < 3) {
        m_chain = SChain();
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    const uint16_t wFid = Word(&apdu.vbData[0]);
    SEmuFile *pFile = nullptr;
    answer.wSw = FindKeyFile(m_state.fs, wFid,
                             fPrivate ? EEmuFileKind::PrivateKey : EEmuFileKind::PublicKey, pFile);
    if (answer.wSw == EmuSw::SW_OK && fPrivate && !m_security.IsPinVerified())
        answer.wSw = EmuSw::SW_SECURITY;
    if (answer.wSw == EmuSw::SW_OK && pFile->vbContent.empty())
        answer.wSw = EmuSw::SW_REF_NOT_FOUND;
    if (answer.wSw != EmuSw::SW_OK) {
        m_chain = SChain();
        return answer;
    }
    bool fLast = false;
    answer.wSw = AddChainBlock(apdu.bIns, apdu.P1P2(), wFid, apdu.vbData[2],
                               apdu.vbData.data() + 3, apdu.vbData.size() - 3, RSA_INPUT_MAX,
                               fLast);
    if (answer.wSw != EmuSw::SW_OK || !fLast)
        return answer;
    std::vector<uint8_t> vbInput;
    vbInput.swap(m_chain.vbData);
    m_chain = SChain();
    answer.wSw = fPrivate ? CEmuCardRsa::PrivateOp(pFile->vbContent, vbInput, answer.vbData)
                          : CEmuCardRsa::PublicOp(pFile->vbContent, vbInput, answer.vbData);
    return answer;
}
