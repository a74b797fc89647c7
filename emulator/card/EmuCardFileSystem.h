// EmuCardFileSystem.h
//
// CEmuFileSystem: the card's file tree (master file, dedicated files and
// their elementary files) and the current selection. It knows file kinds and
// contents; access rights and commands live in CEmuCardOs. A blank token has
// an empty tree, so every selection answers 6A82.
//
// The layout a bank issues (BuildIssued), every elementary file under DF 5000
// with an id 50xx, since the library's selection cache treats 50xx as "in
// DF 5000" and would otherwise reselect directories and repeat PIN checks:
//   MF 3F00
//   DF 5000
//     EF 5002   2 bytes   capability codes 03 03 (RSA 2048; CA keys 2048)
//     EF 5003   1 byte    PIN status, 00 (holder has not changed the PIN)
//     EF 5004   64 bytes  token display name, zero-padded
//     EF 5031   12 bytes  directory index: 50 32 04 | 50 33 04 | 00 00 00 |
//                         50 35 01 (key-set directories 1 and 2, host key dir)
//     EF 5032   record file, 4 x 12-byte key-set records (key spec 0)
//     EF 5033   record file, 4 x 12-byte key-set records (other key specs)
//     EF 5035   record file, 1 x 12-byte host public-key record
//     EF 5041-5048  name files, 256 bytes (records of 5032 then 5033)
//     EF 5051-5058  public-key files   EF 5061-5068  private-key files
//     EF 5071-5078  certificate files, 2048 bytes
//     EF 5080   264 bytes host public key, EF 5081 its 256-byte name file
//   Key-set record i of directory d: 00 00 00 00, name, public, private and
//   certificate file ids (e.g. 5032 record 1: ... 50 41 50 51 50 61 50 71).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class EEmuFileKind : uint8_t {
    Master = 1,
    Dedicated = 2,
    Transparent = 3,
    Record = 4,
    PublicKey = 5,   // [n+4 (4 bytes)][e (4 bytes)][modulus n bytes], empty = no key
    PrivateKey = 6,  // [5h (4 bytes)][p][q][dp][dq][qinv], h bytes each, empty = no key
};

struct SEmuFile {
    uint16_t wFid = 0;
    uint16_t wParent = 0;  // id of the directory the file lies in; 0 for the MF
    EEmuFileKind eKind = EEmuFileKind::Transparent;
    uint8_t bRecordLen = 0;  // record files only
    std::vector<uint8_t> vbContent;
};

class CEmuFileSystem {
public:
    // Empties the tree (a blank token).
    void Clear();
    // True when the tree has a master file.
    bool IsPresent() const { return !m_vFiles.empty(); }
    // Lays out the file system of a newly issued token with this display name.
    void BuildIssued(const std::string &strTokenName);

    // SELECT: P1 00 selects the MF, a directory or a file by id, P1 02 an
    // elementary file of the current directory. fDirectory tells whether a
    // directory was selected (which resets the security state).
    uint16_t Select(uint8_t bP1, uint16_t wFid, bool &fDirectory);
    // Back to the power-on selection (the MF, or nothing on a blank token).
    void ResetSelection();

    // The selected elementary file, or null.
    SEmuFile *CurrentEf();
    // The elementary file with this id in the current directory, or null.
    SEmuFile *FindInCurrentDf(uint16_t wFid);
    // Any file by id, or null (ids are unique across the tree).
    SEmuFile *Find(uint16_t wFid);

    // All files in creation order (parents before children), for persistence.
    const std::vector<SEmuFile> &Files() const { return m_vFiles; }
    // Replaces the tree after checking its structure; false with the reason.
    bool Assign(std::vector<SEmuFile> vFiles, std::string &strError);

private:
    int IndexOf(uint16_t wFid) const;
    int ChildOf(int iDir, uint16_t wFid) const;
    void Add(uint16_t wFid, uint16_t wParent, EEmuFileKind eKind, size_t cbSize,
             uint8_t bRecordLen = 0);

    std::vector<SEmuFile> m_vFiles;
    int m_iDf = -1;  // current directory
    int m_iEf = -1;  // current elementary file
};
