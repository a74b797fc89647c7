// EmuCardFileSystem.cpp
#include "EmuCardFileSystem.h"

#include "EmuCardApdu.h"

#include <algorithm>

namespace {

const uint16_t FID_MF = 0x3F00;
const uint16_t FID_APP = 0x5000;
const size_t KEYSET_RECORD_LEN = 12;
const size_t KEYSETS_PER_DIR = 4;
const size_t NAME_FILE_SIZE = 256;
const size_t CERT_FILE_SIZE = 2048;
const size_t HOST_KEY_FILE_SIZE = 264;
const size_t MAX_TRANSPARENT_SIZE = 0x8000;  // offsets are 15 bits
const size_t MAX_KEY_FILE_SIZE = 1024;

bool IsDirectory(EEmuFileKind eKind)
{
    return eKind == EEmuFileKind::Master || eKind == EEmuFileKind::Dedicated;
}

void PutWord(std::vector<uint8_t> &vb, size_t iPos, uint16_t w)
{
    vb[iPos] = static_cast<uint8_t>(w >> 8);
    vb[iPos + 1] = static_cast<uint8_t>(w);
}

}  // namespace

void CEmuFileSystem::Clear()
{
    m_vFiles.clear();
    m_iDf = -1;
    m_iEf = -1;
}

void CEmuFileSystem::Add(uint16_t wFid, uint16_t wParent, EEmuFileKind eKind, size_t cbSize,
                         uint8_t bRecordLen)
{
    SEmuFile file;
    file.wFid = wFid;
    file.wParent = wParent;
    file.eKind = eKind;
    file.bRecordLen = bRecordLen;
    file.vbContent.assign(cbSize, 0);
    m_vFiles.push_back(file);
}

void CEmuFileSystem::BuildIssued(const std::string &strTokenName)
{
    Clear();
    Add(FID_MF, 0, EEmuFileKind::Master, 0);
    Add(FID_APP, FID_MF, EEmuFileKind::Dedicated, 0);

    Add(0x5002, FID_APP, EEmuFileKind::Transparent, 2);
    m_vFiles.back().vbContent = {0x03, 0x03};
    Add(0x5003, FID_APP, EEmuFileKind::Transparent, 1);
    Add(0x5004, FID_APP, EEmuFileKind::Transparent, 64);
    std::copy_n(strTokenName.begin(), std::min<size_t>(strTokenName.size(), 64),
                m_vFiles.back().vbContent.begin());
    Add(0x5031, FID_APP, EEmuFileKind::Transparent, 12);
    m_vFiles.back().vbContent = {0x50, 0x32, 0x04, 0x50, 0x33, 0x04,
                                 0x00, 0x00, 0x00, 0x50, 0x35, 0x01};

    // Two key-set directories of four records each.
    for (size_t iDir = 0; iDir < 2; ++iDir) {
        Add(static_cast<uint16_t>(0x5032 + iDir), FID_APP, EEmuFileKind::Record,
            KEYSETS_PER_DIR * KEYSET_RECORD_LEN, KEYSET_RECORD_LEN);
        std::vector<uint8_t> &vbRecords = m_vFiles.back().vbContent;
        for (size_t iRec = 0; iRec < KEYSETS_PER_DIR; ++iRec) {
            const uint16_t wSlot = static_cast<uint16_t>(iDir * KEYSETS_PER_DIR + iRec);
            const size_t iPos = iRec * KEYSET_RECORD_LEN;
            PutWord(vbRecords, iPos + 4, static_cast<uint16_t>(0x5041 + wSlot));
            PutWord(vbRecords, iPos + 6, static_cast<uint16_t>(0x5051 + wSlot));
            PutWord(vbRecords, iPos + 8, static_cast<uint16_t>(0x5061 + wSlot));
            PutWord(vbRecords, iPos + 10, static_cast<uint16_t>(0x5071 + wSlot));
        }
    }
    // The outside host's public-key directory: key file 5080, name file 5081.
    Add(0x5035, FID_APP, EEmuFileKind::Record, KEYSET_RECORD_LEN, KEYSET_RECORD_LEN);
    PutWord(m_vFiles.back().vbContent, 4, 0x5080);
    PutWord(m_vFiles.back().vbContent, 10, 0x5081);

    for (uint16_t wSlot = 0; wSlot < 2 * KEYSETS_PER_DIR; ++wSlot) {
        Add(static_cast<uint16_t>(0x5041 + wSlot), FID_APP, EEmuFileKind::Transparent,
            NAME_FILE_SIZE);
        Add(static_cast<uint16_t>(0x5051 + wSlot), FID_APP, EEmuFileKind::PublicKey, 0);
        Add(static_cast<uint16_t>(0x5061 + wSlot), FID_APP, EEmuFileKind::PrivateKey, 0);
        Add(static_cast<uint16_t>(0x5071 + wSlot), FID_APP, EEmuFileKind::Transparent,
            CERT_FILE_SIZE);
    }
    Add(0x5080, FID_APP, EEmuFileKind::Transparent, HOST_KEY_FILE_SIZE);
    Add(0x5081, FID_APP, EEmuFileKind::Transparent, NAME_FILE_SIZE);
    ResetSelection();
}

int CEmuFileSystem::IndexOf(uint16_t wFid) const
{
    for (size_t i = 0; i < m_vFiles.size(); ++i)
        if (m_vFiles[i].wFid == wFid)
            return static_cast<int>(i);
    return -1;
}

int CEmuFileSystem::ChildOf(int iDir, uint16_t wFid) const
{
    if (iDir < 0)
        return -1;
    const uint16_t wDir = m_vFiles[static_cast<size_t>(iDir)].wFid;
    for (size_t i = 0; i < m_vFiles.size(); ++i)
        if (m_vFiles[i].wFid == wFid && m_vFiles[i].wParent == wDir &&
            m_vFiles[i].eKind != EEmuFileKind::Master)
            return static_cast<int>(i);
    return -1;
}

uint16_t CEmuFileSystem::Select(uint8_t bP1, uint16_t wFid, bool &fDirectory)
{
    fDirectory = false;
    if (bP1 != 0x00 && bP1 != 0x02)
        return EmuSw::SW_WRONG_P1P2;
    int iFound = -1;
    if (bP1 == 0x02) {
        iFound = ChildOf(m_iDf, wFid);
        if (iFound >= 0 && IsDirectory(m_vFiles[static_cast<size_t>(iFound)].eKind))
            iFound = -1;
    } else if (IsPresent()) {
        // The MF, the current directory itself, one of its files, a sibling of
        // the current directory, or a file directly under the MF.
        if (wFid == FID_MF)
            iFound = 0;
        else if (m_iDf >= 0 && m_vFiles[static_cast<size_t>(m_iDf)].wFid == wFid)
            iFound = m_iDf;
        if (iFound < 0)
            iFound = ChildOf(m_iDf, wFid);
        if (iFound < 0 && m_iDf >= 0)
            iFound = ChildOf(IndexOf(m_vFiles[static_cast<size_t>(m_iDf)].wParent), wFid);
        if (iFound < 0)
            iFound = ChildOf(0, wFid);
    }
    if (iFound < 0)
        return EmuSw::SW_FILE_NOT_FOUND;

    const SEmuFile &file = m_vFiles[static_cast<size_t>(iFound)];
    if (IsDirectory(file.eKind)) {
        m_iDf = iFound;
        m_iEf = -1;
        fDirectory = true;
    } else {
        m_iDf = IndexOf(file.wParent);
        m_iEf = iFound;
    }
    return EmuSw::SW_OK;
}

void CEmuFileSystem::ResetSelection()
{
    m_iDf = IsPresent() ? 0 : -1;
    m_iEf = -1;
}

SEmuFile *CEmuFileSystem::CurrentEf()
{
    return m_iEf < 0 ? nullptr : &m_vFiles[static_cast<size_t>(m_iEf)];
}

SEmuFile *CEmuFileSystem::FindInCurrentDf(uint16_t wFid)
{
    const int i = ChildOf(m_iDf, wFid);
    if (i < 0 || IsDirectory(m_vFiles[static_cast<size_t>(i)].eKind))
        return nullptr;
    return &m_vFiles[static_cast<size_t>(i)];
}

SEmuFile *CEmuFileSystem::Find(uint16_t wFid)
{
    const int i = IndexOf(wFid);
    return i < 0 ? nullptr : &m_vFiles[static_cast<size_t>(i)];
}

bool CEmuFileSystem::Assign(std::vector<SEmuFile> vFiles, std::string &strError)
{
    for (size_t i = 0; i < vFiles.size(); ++i) {
        const SEmuFile &file = vFiles[i];
        const size_t cb = file.vbContent.size();
        if ((i == 0) != (file.eKind == EEmuFileKind::Master)) {
            strError = "the master file must come first and only once";
            return false;
        }
        if (i > 0) {
            bool fParentOk = false;
            for (size_t j = 0; j < i; ++j) {
                if (vFiles[j].wFid == file.wFid) {
                    strError = "duplicate file id";
                    return false;
                }
                if (vFiles[j].wFid == file.wParent && IsDirectory(vFiles[j].eKind))
                    fParentOk = true;
            }
            if (!fParentOk) {
                strError = "file without a parent directory";
                return false;
            }
        }
        bool fSizeOk = true;
        switch (file.eKind) {
        case EEmuFileKind::Master:
        case EEmuFileKind::Dedicated:
            fSizeOk = cb == 0;
            break;
        case EEmuFileKind::Transparent:
            fSizeOk = cb <= MAX_TRANSPARENT_SIZE;
            break;
        case EEmuFileKind::Record:
            fSizeOk = file.bRecordLen > 0 && cb % file.bRecordLen == 0 &&
                      cb / file.bRecordLen <= 254;
            break;
        case EEmuFileKind::PublicKey:
        case EEmuFileKind::PrivateKey:
            fSizeOk = cb <= MAX_KEY_FILE_SIZE;
            break;
        default:
            strError = "unknown file kind";
            return false;
        }
        if (!fSizeOk) {
            strError = "file size does not fit its kind";
            return false;
        }
    }
    m_vFiles = std::move(vFiles);
    ResetSelection();
    return true;
}
