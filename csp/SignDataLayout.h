// SignDataLayout.h
//
// CSignDataLayout: how a transaction is laid out on the token's screen for
// the sign confirmation. The sign data (XML, already in the token's code
// page, GBK) becomes lines of 16 bytes that never cut a double-byte
// character, and a window of three lines plus the key-hint row becomes one
// 64-byte screen page. Windows-free, so it is also tested natively with the
// sanitizers.
#pragma once

#include <string>
#include <vector>

#include "XmlAnsiConverter.h"
#include "XmlDocument.h"

typedef std::vector<std::string> SignLines;

class CSignDataLayout {
public:
    // Bytes of one row (and of one padded line) and of one page.
    static constexpr size_t ROW_BYTES = 16;
    static constexpr size_t PAGE_BYTES = 64;

    // The fixed texts, in GBK.
    static const char *const kFallbackLine;   // "请您确认数字签名"
    static const char *const kSecondConfirm;  // "请您再次确认交易"
    static const char *const kConfirmed;      // "已确认..."
    static const char *const kCancelled;      // "已取消..."
    static const char *const kTimedOut;       // "已超时,交易取消"

    // How the lines of a document are arranged; 1, or 0 when arranging
    // failed (the lines it appended are then not to be shown).
    typedef int (*PFN_ARRANGE)(CXmlDocument &doc, SignLines &vecLines);

    // Appends the text as lines of at most 16 bytes. The text is walked
    // character by character: a byte 0x81-0xFE leads a double-byte
    // character and takes the next byte with it, so a line ends before a
    // character that would not fit. A lone lead byte at the very end stands
    // on its own.
    static void SplitText(const std::string &strText, SignLines &vecLines);

    // The transaction's lines: the type (attribute "name" of
    // /SignData/TradeType), then each child of /SignData/Fields with a
    // non-empty label (its "name") and value (its content) as label+value.
    // Either element may be missing. May throw std::bad_alloc.
    static void Arrange(CXmlDocument &doc, SignLines &vecLines);

    // The padded lines of sign data in GBK, and whether the user confirms a
    // second time. Text that is not XML, a failed arrangement or a document
    // without anything to show gives the fallback line alone and no second
    // confirmation. pConverter decodes character references (not owned).
    static bool BuildLines(const std::string &strText, const IXmlAnsiConverter *pConverter,
                           PFN_ARRANGE pfnArrange, SignLines &vecLines);

    // Every line becomes exactly 16 bytes: cut, or padded with spaces.
    static void Pad(SignLines &vecLines);

    // The page of the lines with nTop as the wished first line (moved back
    // so that the last page is full): three lines and the key-hint row,
    // whose arrows tell whether earlier and later lines exist. 1, or 0 and a
    // page of spaces when there are no lines.
    static int Compose(const SignLines &vecLines, int nTop, char *pPage, bool *pbEarlier,
                       bool *pbLater);

    // A page with the text in row 0 and spaces elsewhere.
    static std::string TextPage(const char *pszText);
};
