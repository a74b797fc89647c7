// XmlFuzz.cpp
//
// libFuzzer target of CXmlDocument: parses the input, checks the index's
// invariants, visits every element through the navigation operations (each
// exactly once, at its level) and queries it, then edits a copy and checks
// again. The first byte selects the document flags; in the 16-bit build a
// byte 0xFF takes the next two bytes as one character.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "XmlDocument.h"
#include "XmlTreeCheck.h"

namespace {

void Require(bool bOk, const std::string &strWhat)
{
    if (!bOk) {
        std::fprintf(stderr, "invariant broken: %s\n", strWhat.c_str());
        std::abort();
    }
}

XmlString Ascii(const char *psz)
{
    XmlString str;
    for (; *psz; ++psz)
        str += static_cast<XmlChar>(*psz);
    return str;
}

XmlString TextOf(const std::uint8_t *pData, std::size_t cb)
{
    XmlString str;
    for (std::size_t i = 0; i < cb; ++i) {
#ifndef KQ_XML_CHAR8
        if (pData[i] == 0xFF && i + 2 < cb) {
            str += static_cast<XmlChar>(pData[i + 1] << 8 | pData[i + 2]);
            i += 2;
            continue;
        }
#endif
        str += static_cast<XmlChar>(pData[i]);
    }
    return str;
}

// Visits every element depth first with SeekElement(null), DescendLevel and
// AscendLevel only.
void VisitAll(CXmlDocument &doc)
{
    const XmlString strNames[] = {Ascii("x"), Ascii("id"), Ascii("a")};
    std::uint32_t dwDepth = 0, dwVisited = 0;
    for (;;) {
        if (doc.SeekElement(nullptr)) {
            const std::uint32_t dwPos = doc.CurrentPosition();
            ++dwVisited;
            Require(dwVisited < doc.PositionCount(), "an element visited twice");
            Require(doc.PositionAt(dwPos).dwLevel == dwDepth, "level differs from the depth");
            const XmlString strTag = doc.TagNameAt(dwPos);
            for (const XmlString &strName : strNames)
                doc.QueryAttr(strName.c_str());
            if (!strTag.empty())
                doc.QueryAttr(strTag.c_str());
            doc.ReadContent();
            Require(doc.DescendLevel(), "DescendLevel refused");
            ++dwDepth;
        } else {
            if (dwDepth == 0)
                break;
            Require(doc.AscendLevel(), "AscendLevel refused");
            --dwDepth;
        }
    }
    Require(dwVisited + 1 == doc.PositionCount(), "not every element visited");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *pData, std::size_t cb)
{
    if (cb == 0)
        return 0;
    std::uint32_t dwFlags = 0;
    if (pData[0] & 1)
        dwFlags |= XMLDOC_IGNORE_CASE;
    if (pData[0] & 2)
        dwFlags |= XMLDOC_TRIM;
    if (pData[0] & 4)
        dwFlags |= XMLDOC_COLLAPSE;
    CXmlDocument doc;
    doc.SetFlags(dwFlags);
    doc.TakeText(TextOf(pData + 1, cb - 1));
    std::string strFault = CheckXmlTree(doc);
    Require(strFault.empty(), "after the parse: " + strFault);
    VisitAll(doc);

    // Edit a copy: an attribute on the first element, then a new element.
    CXmlDocument copy;
    copy.CopyFrom(doc);
    if (copy.SeekElement(nullptr)) {
        const XmlString strValue = Ascii("<&\"'>]]>");
        Require(copy.StoreAttr(Ascii("zq").c_str(), strValue.c_str()), "StoreAttr refused");
        Require(copy.QueryAttr(Ascii("zq").c_str()) == strValue, "stored value not read back");
        strFault = CheckXmlTree(copy);
        Require(strFault.empty(), "after StoreAttr: " + strFault);
        const std::uint32_t dwInsert = (pData[0] & 0x08 ? XMLINS_CDATA : 0) |
                                       (pData[0] & 0x10 ? XMLINS_BEFORE : 0) |
                                       (pData[0] & 0x20 ? XMLINS_CHILD : 0) |
                                       (pData[0] & 0x40 ? XMLINS_NO_BREAKS : 0);
        Require(copy.InsertElementAfter(Ascii("n").c_str(), strValue.c_str(), dwInsert),
                "InsertElementAfter refused");
        strFault = CheckXmlTree(copy);
        Require(strFault.empty(), "after InsertElementAfter: " + strFault);
    }
    return 0;
}
