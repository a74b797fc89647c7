// SharedKeysetInfo.cpp
#include "SharedKeysetInfo.h"

#include <algorithm>
#include <list>
#include <new>

#include "Pavrel_ContainerText.h"

namespace {

// Made on first use and kept to process end, so nothing runs at load.
std::list<CSharedKeysetInfo *> &List()
{
    static std::list<CSharedKeysetInfo *> *pList = new std::list<CSharedKeysetInfo *>();
    return *pList;
}

bool Matches(const CSharedKeysetInfo *pInfo, const std::string &strPath,
             const std::string &strDeviceName)
{
    return Pavrel_ContainerText::samePath(pInfo->_keysetPath, strPath) &&
           Pavrel_ContainerText::samePath(pInfo->_deviceName, strDeviceName);
}

}  // namespace

CSharedKeysetInfo::CSharedKeysetInfo(const std::string &strPath, const std::string &strKeysetName,
                                     const std::string &strDeviceName)
    : _keysetPath(strPath), _keysetName(strKeysetName), _deviceName(strDeviceName), _refCount(1)
{
}

CSharedKeysetInfo::~CSharedKeysetInfo() {}

CSharedKeysetInfo *CSharedKeysetInfo::find(const std::string &strPath,
                                           const std::string &strDeviceName)
{
    for (CSharedKeysetInfo *pInfo : List())
        if (Matches(pInfo, strPath, strDeviceName))
            return pInfo;
    return nullptr;
}

CSharedKeysetInfo *CSharedKeysetInfo::append(const std::string &strPath,
                                             const std::string &strKeysetName,
                                             const std::string &strDeviceName)
{
    try {
        CSharedKeysetInfo *pInfo = new CSharedKeysetInfo(strPath, strKeysetName, strDeviceName);
        try {
            List().push_back(pInfo);
        } catch (...) {
            delete pInfo;
            return nullptr;
        }
        return pInfo;
    } catch (...) {
        return nullptr;
    }
}

void CSharedKeysetInfo::remove(CSharedKeysetInfo *pInfo)
{
    List().remove(pInfo);
    delete pInfo;
}

void CSharedKeysetInfo::removeAll(const std::string &strPath, const std::string &strDeviceName)
{
    std::list<CSharedKeysetInfo *> &list = List();
    for (auto it = list.begin(); it != list.end();) {
        if (Matches(*it, strPath, strDeviceName)) {
            delete *it;
            it = list.erase(it);
        } else {
            ++it;
        }
    }
}

std::vector<CSharedKeysetInfo *> CSharedKeysetInfo::records()
{
    return std::vector<CSharedKeysetInfo *>(List().begin(), List().end());
}
